#ifndef ZVR3_OUTPUTS_H
#define ZVR3_OUTPUTS_H

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class zvr3decoder;
class zvr3saver;
struct zvr3item;

// What `decode`, `live` and `archive` share for writing decoded items and recording to files.
namespace zvr3out {

// Runs the event loop until the decoders have no more than `limit` items queued or being decoded,
// then delivers what they have emitted. Not to be called from inside a node's signal.
void drain(int limit);

// Writes the decoded items of one stream into a directory: frame-NNNNNN.png, audio.wav, texts.txt
// and positions.jsonl, each made when the first value of its kind arrives.
class Outputs
{
public:
    Outputs(const QString &command, const QString &dir);
    ~Outputs();

    // False (after printing why) when a file could not be written.
    bool take(const zvr3item &item);
    // Writes the WAV header for the sound written so far and closes the file.
    bool finishWav();

private:
    bool open(QFile &file, const QString &name);
    bool fail(const QString &name) const;

    QString m_command;
    QDir m_dir;
    int m_frames = 0;
    QFile m_wav;
    QFile m_texts;
    QFile m_positions;
    int m_rate = 0;
    qint64 m_pcmBytes = 0;
};

// Stands behind a stream parser and decodes every stream the stream headers name into
// DIR/stream-NN/ (NN the stream number, two digits), one zvr3decoder per stream. A stream header
// that names a stream not seen before adds its decoder and directory.
class StreamOutputs : public QObject
{
public:
    StreamOutputs(const QString &command, const QString &dir);
    ~StreamOutputs() override;

    // Makes the directory; false (after printing why) when that fails.
    bool prepare();
    // The queue limit of the decoders made from now on (zvr3decoder::setQueueLimit()).
    void setQueueLimit(int limit) { m_queueLimit = limit; }
    // Called with every decoder made, before it takes a record.
    void onDecoder(const std::function<void(zvr3decoder *)> &made) { m_made = made; }
    // The parser's values.
    void take(const QVariant &value);
    // Lets the decoders finish what they have been given, then closes the files. Call it after the
    // source has stopped, outside any signal. False when a file could not be written.
    bool finish();
    bool failed() const { return m_failed; }

private:
    struct Stream;
    QString m_command;
    QString m_dir;
    QMap<int, Stream *> m_streams;
    int m_queueLimit = 0;
    std::function<void(zvr3decoder *)> m_made;
    bool m_failed = false;
    bool m_finished = false;
};

// A zvr3saver behind a stream parser that records into FILE; its errors are printed as JSON Lines
// and mark the run failed.
class Recorder
{
public:
    explicit Recorder(const QString &file);
    ~Recorder();
    void take(const QVariant &value);
    // Flushes and closes the file.
    void finish();
    bool failed() const { return m_failed; }

private:
    std::unique_ptr<zvr3saver> m_saver;
    bool m_failed = false;
};

// The --out DIR, --queue-limit N and --record FILE options of the network subcommands: decoders
// and a saver beside the JSON Lines listing.
class Sinks
{
public:
    static void addOptions(QCommandLineParser &options);
    // Makes what the options ask for; false (after printing why) when that fails. --queue-limit is
    // read before (count()) and handed to open().
    bool open(const QString &command, const QCommandLineParser &options, int queueLimit = 0);
    // With --out: called with every decoder made, before it takes a record.
    void onDecoder(const std::function<void(zvr3decoder *)> &made);
    // The parser's values.
    void take(const QVariant &value);
    // Ends the run: waits for the decoders, closes the files. Returns the run's exit code, or 1
    // when writing failed.
    int finish(int exitCode);

private:
    std::unique_ptr<StreamOutputs> m_outputs;
    std::unique_ptr<Recorder> m_recorder;
    bool m_stopped = false;
};

} // namespace zvr3out

#endif // ZVR3_OUTPUTS_H
