// What the viewer does for one tile besides showing it: a snapshot saved as a JPEG file, a
// recording of the channel's live stream to an archive file, and the sound on the default audio
// device. Each network job is a public node behind a zvr3supervisor, so that it rides out outages,
// and reports its state.
#ifndef ZVR3VIEW_TILETOOLS_H
#define ZVR3VIEW_TILETOOLS_H

#include <QAudioFormat>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include "viewcommon.h"
#include "zvr3jpeg.h"
#include "zvr3online.h"
#include "zvr3saver.h"
#include "zvr3sound_buffer.h"
#include "zvr3supervisor.h"

class QAudioSink;
class QIODevice;

namespace zvr3view {

// Snapshots of channels: the recorder's JPEG service at the size asked, written to a file.
class Snapshots : public QObject
{
    Q_OBJECT
public:
    explicit Snapshots(QObject *parent = nullptr);
    ~Snapshots() override;
    SourceState *state() const { return m_state; }
    // Asks for a snapshot of channel at size, to be written to path.
    void take(const QUrl &recorder, int channel, const QSize &size, const QString &path);
    void close();

signals:
    void saved(int channel, const QString &path, const QImage &image);
    // No file: the recorder had no picture ("no signal", "disabled", "error") or writing failed.
    void failed(int channel, const QString &why);

private:
    zvr3jpeg m_jpeg;
    zvr3supervisor m_supervisor;
    SourceState *m_state;
    QImage m_pending;
    bool m_hasPending = false;
};

// A channel's live stream recorded to an archive file while it runs.
class Recording : public QObject
{
    Q_OBJECT
public:
    Recording(const QUrl &recorder, int channel, const QString &path, QObject *parent = nullptr);
    ~Recording() override;
    int channel() const { return m_channel; }
    QString path() const { return m_path; }
    SourceState *state() const { return m_state; }
    qint64 records() const { return m_records; }

signals:
    void error(const QString &text);

private:
    int m_channel;
    QString m_path;
    zvr3online m_online;
    zvr3supervisor m_supervisor;
    zvr3saver m_saver;
    SourceState *m_state;
    qint64 m_records = 0;
};

// Decoded sound pushed to the default audio device. Without a device (as on a machine without
// sound, or offscreen) it stays silent and says so.
class SoundOut : public QObject
{
    Q_OBJECT
public:
    explicit SoundOut(QObject *parent = nullptr);
    ~SoundOut() override;
    bool hasDevice() const { return m_hasDevice; }
    QString status() const;
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    void push(const zvr3sound_buffer &buffer);
    qint64 bytesPlayed() const { return m_bytes; }

signals:
    void statusChanged(const QString &status);

private:
    bool m_hasDevice = false;
    bool m_enabled = false;
    QAudioSink *m_sink = nullptr;
    QIODevice *m_io = nullptr;
    int m_rate = 0;
    qint64 m_bytes = 0;
};

} // namespace zvr3view

#endif
