#include <QtTest>

#include "zvr3fakerecorder.h"
#include "zvr3parser.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"
#include "zvr3testvideo.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

// `zvr3 live` and `zvr3 archive` with --out (decoders beside the listing) and --record (the saver),
// against a fake recorder streaming a recording made by the test: MPEG-4 video, IMA ADPCM sound,
// text and NMEA.
class tst_zvr3tool_outputs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void liveToFilesAndRecord();
    void archiveToFilesWithPause();
    void unwritable_data();
    void unwritable();
    void help_data();
    void help();

private:
    struct Run
    {
        int exitCode = -1;
        QList<QByteArray> lines;
        QByteArray err;
    };
    static Run run(const QStringList &arguments);
    void checkFiles(const QString &out);

    QTemporaryDir m_dir;
    QByteArray m_header;
    QByteArray m_stream;
    zvr3testvideo::Encoded m_video;
};

namespace {
constexpr quint32 Start = 1700000000;
constexpr int Frames = 5;
const QByteArray Rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");

STREAM_T entry(int number, int type, const char *codec, const char *text3 = "")
{
    STREAM_T s;
    s.number = number;
    s.type = type;
    s.codec = QString::fromLatin1(codec);
    s.text3 = QString::fromLatin1(text3);
    return s;
}

QByteArray data(int stream, const QByteArray &payload, bool video = false, int ms = 0)
{
    DATA_T d;
    d.stream = uint(stream);
    d.part = 3;
    d.level = 31;
    d.time = qint64(Start) * 1000 + ms;
    d.data = payload;
    return zvr3stream::encodeData(d, video, Start);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

void tst_zvr3tool_outputs::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_video = zvr3testvideo::encode("mpeg4", 176, 144, Frames);
    QCOMPARE(m_video.packets.size(), Frames);
    HDR_T header;
    header.streams = {entry(0, 1, "mp4v"), entry(10, 2, "ima1", "-rate=8000"), entry(11, 4, "text"), entry(12, 4, "nmea")};
    m_header = zvr3stream::encodeHeader(header);
    m_stream = m_header + zvr3stream::encodeIndex({Start, 0, QByteArray()});
    for (int i = 0; i < Frames; ++i) {
        m_stream += data(0, m_video.packets.at(i), true, 40 * i);
        m_stream += data(10, QByteArray("\x70\x00\x00", 3));
        m_stream += data(11, "hello " + QByteArray::number(i));
        m_stream += data(12, Rmc);
    }
}

tst_zvr3tool_outputs::Run tst_zvr3tool_outputs::run(const QStringList &arguments)
{
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(QStringLiteral(ZVR3_TOOL), arguments);
    if (!finished.wait(60000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    const QByteArray out = process.readAllStandardOutput().trimmed();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            out.isEmpty() ? QList<QByteArray>() : out.split('\n'), process.readAllStandardError()};
}

// Every stream of the recording decoded into its own directory, with the content sent.
void tst_zvr3tool_outputs::checkFiles(const QString &out)
{
    for (int i = 0; i < Frames; ++i) {
        const QImage png(out + QStringLiteral("/stream-00/frame-%1.png").arg(i + 1, 6, 10, QLatin1Char('0')));
        QCOMPARE(png.size(), QSize(176, 144));
        const double db = zvr3testvideo::psnr(png, m_video.sources.at(i));
        QVERIFY2(db > 25, qPrintable(QString::number(db)));
    }
    QVERIFY(!QFile::exists(out + QStringLiteral("/stream-00/frame-000006.png")));
    QVERIFY(!QFile::exists(out + QStringLiteral("/stream-00/audio.wav")));

    const QByteArray wav = readAll(out + QStringLiteral("/stream-10/audio.wav"));
    QCOMPARE(wav.size(), 44 + Frames * 12);  // 6 samples of 16 bits per 3-byte record
    QVERIFY(wav.startsWith("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 24), 8000u);
    const qint16 samples[] = {11, 13, 14, 15, 16, 17};
    QCOMPARE(wav.mid(44, 12), QByteArray(reinterpret_cast<const char *>(samples), 12));

    QCOMPARE(readAll(out + QStringLiteral("/stream-11/texts.txt")),
             QByteArray("hello 0\nhello 1\nhello 2\nhello 3\nhello 4\n"));
    const QList<QByteArray> positions = readAll(out + QStringLiteral("/stream-12/positions.jsonl")).trimmed().split('\n');
    QCOMPARE(positions.size(), Frames);
    const QJsonObject position = QJsonDocument::fromJson(positions.last()).object();
    QCOMPARE(position.value(QStringLiteral("valid")).toBool(), true);
    QCOMPARE(position.value(QStringLiteral("latitude")).toDouble(), 48.1173);
}

void tst_zvr3tool_outputs::liveToFilesAndRecord()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onLogin = [&](FakeSession *s) { s->send(m_stream, 1000); };  // and keep the line open
    const QString out = m_dir.filePath(QStringLiteral("live"));
    const QString file = m_dir.filePath(QStringLiteral("live.zvr"));
    const Run r = run({"live", "--duration", "2", "--out", out, "--record", file, recorder.url().toString()});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(r.lines.size() > 4 * Frames);  // the listing goes on as without the options
    checkFiles(out);

    // The recorded file reads back as the records sent: the same frames, texts and header.
    zvr3parser sent;
    zvr3parser recorded;
    auto frames = [](const QList<QVariant> &values) {
        QList<QByteArray> payloads;
        for (const QVariant &value : values) {
            if (value.canConvert<zvr3parser_combined_DATA_T>()) {
                const auto frame = value.value<zvr3parser_combined_DATA_T>();
                payloads << QByteArray::number(frame.stream) + ':' + frame.data;
            }
        }
        return payloads;
    };
    const QList<QByteArray> expected = frames(zvr3test::feed(sent, m_stream, 0));
    QCOMPARE(expected.size(), 4 * Frames);
    QCOMPARE(frames(zvr3test::feed(recorded, readAll(file), 0)), expected);
}

void tst_zvr3tool_outputs::archiveToFilesWithPause()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    // One chunk: a section opened by the header, a chunk header and the index record, closed by a
    // chunk header naming the next chunk and an index record; the next chunk never comes.
    QByteArray chunk = m_header + zvr3stream::encodeChunkHeader({0, 1, 0, 0}) + m_stream.mid(m_header.size())
        + zvr3stream::encodeChunkHeader({1, 2, 0, 0});
    IDX_T closing;
    closing.time = Start + 1;
    chunk += zvr3stream::encodeIndex(closing);
    recorder.onRequest = [&](FakeSession *s, const QByteArray &line) {
        if (line.startsWith("GET_TIME_"))
            s->send(chunk, 1000);
    };
    const QString out = m_dir.filePath(QStringLiteral("archive"));
    const Run r = run({"archive", "--start", "2023-11-14T22:13:20", "--duration", "2", "--pause-at", "0.2",
                       "--resume-after", "0.5", "--out", out, recorder.url().toString()});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    checkFiles(out);
    QList<QByteArray> pauses;
    for (const QByteArray &line : r.lines) {
        if (line.startsWith(R"({"record": "pause")"))
            pauses << line;
    }
    QCOMPARE(pauses, QList<QByteArray>({R"({"record": "pause", "paused": true})", R"({"record": "pause", "paused": false})"}));
    QCOMPARE(recorder.lastSession()->requests().value(0), QByteArray("GET_TIME_14/11/2023,22:13:20"));
}

void tst_zvr3tool_outputs::unwritable_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("out") << QStringList{"--out", "/proc/zvr3-no-such-dir"} << QByteArray("can't make the directory");
    QTest::newRow("record") << QStringList{"--record", "/nonexistent/dir/x.zvr"} << QByteArray("can't record to");
}

// A place that cannot be written ends the run before it starts, with a message and exit code 1.
void tst_zvr3tool_outputs::unwritable()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, message);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    for (const char *command : {"live", "archive"}) {
        QStringList arguments{QString::fromLatin1(command)};
        if (arguments.first() == QLatin1String("archive"))
            arguments << QStringLiteral("--start") << QStringLiteral("20231114221320");
        const Run r = run(arguments + options + QStringList{recorder.url().toString()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(message), r.err.constData());
    }
    QCOMPARE(recorder.sessionCount(), 0);
}

void tst_zvr3tool_outputs::help_data()
{
    QTest::addColumn<QString>("command");
    for (const char *command : {"probe", "decode", "live", "archive", "events", "setup", "snapshot", "record", "scan", "tz"})
        QTest::newRow(command) << QString::fromLatin1(command);
}

// Every subcommand explains itself on standard output and exits 0; the network ones name --out and
// --record where they have them.
void tst_zvr3tool_outputs::help()
{
    QFETCH(QString, command);
    const Run r = run({command, QStringLiteral("--help")});
    QCOMPARE(r.exitCode, 0);
    const QByteArray text = r.lines.join('\n');
    QVERIFY2(text.startsWith("Usage: "), text.constData());
    QVERIFY(text.contains("zvr3 " + command.toLatin1()));
    const bool network = command == QLatin1String("live") || command == QLatin1String("archive");
    QCOMPARE(text.contains("--out <DIR>") && text.contains("--record <FILE>"), network);
}

QTEST_MAIN(tst_zvr3tool_outputs)
#include "tst_zvr3tool_outputs.moc"
