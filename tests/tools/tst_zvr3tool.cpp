#include <QtTest>

#include <csignal>

#include "zvr3fakerecorder.h"
#include "zvr3parser.h"
#include "zvr3streamwriter.h"
#include "zvr3testsim.h"
#include "zvr3testutil.h"
#include "zvr3testvideo.h"

using zvr3fake::FakeSession;

// The zvr3 tool run as a user runs it: exit codes and messages, the JSON Lines it prints and the
// files it writes. What the library makes of the bytes is checked by the library's own tests; the
// recorder here is a fake in this process that knows user "op" with password "pw" only.
class tst_zvr3tool : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void runs_data();
    void runs();
    void liveStops_data();
    void liveStops();
    void stops_data();
    void stops();
    void liveReconnects();
    void supervised_data();
    void supervised();
    void archiveToFiles();

private:
    void checkFiles(const QString &out);

    QTemporaryDir m_dir;
    zvr3fake::FakeRecorder m_recorder;
    QString m_url;        // of the recorder, with the right password
    QByteArray m_stream;  // MPEG-4 video (stream 0), IMA ADPCM sound (10), texts (11), NMEA (12)
    qsizetype m_twoFrames = 0;  // where the records of the third frame begin in m_stream
    QByteArray m_chunk;   // the same as one chunk of a recorder's archive
    zvr3testvideo::Encoded m_video;
};

namespace {
constexpr quint32 Start = 1700000000;
constexpr int Frames = 5;

QStringList lines(const QByteArray &out)
{
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A run of the tool in a directory, while this process's event loop keeps serving the fake
// recorder: the test watches it and ends it with a signal, or waits for its end. Standard input
// stays open after the input given, unless closeInput.
class Running
{
public:
    Running(const QStringList &arguments, const QByteArray &input, const QString &directory, bool closeInput = false)
    {
        m_process.setWorkingDirectory(directory);
        m_process.start(QStringLiteral(ZVR3_TOOL), arguments);
        m_process.write(input);
        if (closeInput)
            m_process.closeWriteChannel();
    }
    ~Running()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    // What the tool has printed so far.
    const QByteArray &out()
    {
        m_out += m_process.readAllStandardOutput();
        return m_out;
    }
    // How often `part` shows in it.
    int count(const char *part) { return int(out().count(part)); }
    zvr3test::ToolRun stop(int signal)
    {
        QSignalSpy finished(&m_process, &QProcess::finished);
        const qint64 pid = m_process.processId();  // 0 once it has ended: kill(0) would hit the test
        if (pid <= 0 || ::kill(pid_t(pid), signal) != 0 || !finished.wait(60000))
            return {};
        return result();
    }

    // Waits for the tool to end by itself.
    zvr3test::ToolRun wait()
    {
        QSignalSpy finished(&m_process, &QProcess::finished);
        if (m_process.error() == QProcess::FailedToStart || (m_process.state() != QProcess::NotRunning && !finished.wait(60000)))
            return {};
        return result();
    }

private:
    zvr3test::ToolRun result()
    {
        return {m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1, out(), m_process.readAllStandardError()};
    }

    QProcess m_process;
    QByteArray m_out;
};

// The lines of the records a saver keeps: headers, index and data records.
const QRegularExpression Saved(QStringLiteral(R"x(^\{"record": "(HDR_T|IDX_T|DATA_T)")x"));

}

void tst_zvr3tool::initTestCase()
{
    m_video = zvr3testvideo::encode("mpeg4", 176, 144, Frames);
    QCOMPARE(m_video.packets.size(), Frames);
    HDR_T header;
    header.streams = {{0, 1, "mp4v", "", ""}, {10, 2, "ima1", "", "-rate=8000"}, {11, 4, "text", "", ""}, {12, 4, "nmea", "", ""}};
    const QByteArray encodedHeader = zvr3stream::encodeHeader(header);
    QByteArray records = zvr3stream::encodeIndex({Start, 0, QByteArray()});
    const QByteArray rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
    for (int i = 0; i < Frames; ++i) {
        if (i == 2)
            m_twoFrames = 4 + encodedHeader.size() + records.size();
        const qint64 ms = qint64(Start) * 1000;
        records += zvr3stream::encodeData({0, 31, false, 3, 11, ms, 0, "hello " + QByteArray::number(i)}, false, Start);
        records += zvr3stream::encodeData({0, 31, false, 3, 10, ms, 0, QByteArray("\x70\x00\x00", 3)}, false, Start);
        records += zvr3stream::encodeData({0, 31, false, 3, 12, ms, 0, rmc}, false, Start);
        records += zvr3stream::encodeData({0, 31, false, 3, 0, ms + 40 * i, 0, m_video.packets.at(i)}, true, Start);
    }
    m_stream = "junk" + encodedHeader + records;
    // A section opened by the header, a chunk header and the index record, closed by a chunk header
    // naming the next chunk and its index record; the next chunk never comes.
    m_chunk = encodedHeader + zvr3stream::encodeChunkHeader({0, 1, 0, 0}) + records + zvr3stream::encodeChunkHeader({1, 2, 0, 0})
        + zvr3stream::encodeIndex({Start + 1, 0, QByteArray()});

    m_recorder.checkLogin = true;
    m_recorder.expectedUser = QStringLiteral("op");
    m_recorder.expectedPassword = QStringLiteral("pw");
    m_recorder.onLogin = [this](FakeSession *s) {
        if (s->service() == 1)
            s->send(m_stream, 1000);  // live: the stream, and the line kept open
    };
    // What the recorder answers (in small pieces); a request it does not know ends the connection.
    const QMap<QByteArray, QByteArray> replies = {
        {"GET_ALL_EVENTS_05/03/2010,14:07:09,06/03/2010,00:00:00",
         zvr3test::hex("06E5E5E5 01000000 00000000 0C000000 01000000 02000000 01 05 6100 07E5E5E5")},
        {"GET name", zvr3fake::answerBlock("name=Gate \xd0\x9a\r\n")},
        {"GET bytes", zvr3fake::answerBlock(QByteArray("\xff\x00\x01", 3))},
        {"GET nothing", zvr3fake::answerBlock("", "TRAL_ANSWER=ERROR\r\n")},
        {"GET_JPEG_STREAM 3 320 240 90 -1", zvr3test::hex("03000000") + "-5:"},  // no signal, then the line closes
        {"GET_JPEG_STREAM 4 320 240 90 -1", zvr3test::hex("03000000") + "-7:"},  // a failure of the recorder's
    };
    m_recorder.onRequest = [this, replies](FakeSession *s, const QByteArray &line) {
        if (line.startsWith("GET_TIME_"))
            s->send(m_chunk, 1000);
        else if (replies.contains(line))
            s->send(replies.value(line), 5);
        else if (s->service() > 2)
            s->abort();
        if (s->service() == 6)
            s->closeWhenSent();
    };
    QVERIFY(m_recorder.listen());
    m_url = m_recorder.url(QStringLiteral("op"), QStringLiteral("pw")).toString();
}

void tst_zvr3tool::runs_data()
{
    // In arguments and output: %URL% is the recorder with the right password, %REFUSED% with a
    // wrong one, %DIR% a scratch directory, %SAMPLES% the samples the build makes.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");  // how standard output starts (empty: it is empty)
    QTest::addColumn<QByteArray>("err");  // a part of standard error (empty: it is empty)
    auto row = [](const QString &name, const QStringList &arguments, int exitCode, const QByteArray &out, const char *err = "") {
        QTest::newRow(qPrintable(name)) << arguments << exitCode << out << QByteArray(err);
    };
    auto usage = [&row](const QStringList &arguments, const char *err) { row(arguments.join(' '), arguments, 2, "", err); };
    auto ok = [&row](const QStringList &arguments, const QByteArray &out) { row(arguments.join(' '), arguments, 0, out); };
    const QByteArray denied = R"({"record": "zvr3error", "code": -1, "text": "Access denied", "reason": "AccessDenied"})" "\n";
    const QByteArray cantOpen = R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \")x";
    const QString bad = QStringLiteral("tcp://127.0.0.1:1");
    usage({}, "Usage: zvr3");
    usage({"frobnicate"}, "unknown command 'frobnicate'");
    for (const char *command : {"probe", "decode", "live", "archive", "events", "setup", "snapshot", "record", "scan", "tz"})
        ok({command, "--help"}, "Usage: zvr3 " + QByteArray(command) + ' ');

    ok({"probe", "--format", "index", "%SAMPLES%/sample.id3"}, R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})" "\n");
    // The records of standard input, field by field: the junk before the header is skipped.
    ok({"probe", "-"}, R"({"record": "zvr3parser_position", "type": 7, "position": 0, "length": 4})" "\n"
                       R"({"record": "zvr3parser_position", "type": 1, "position": 4, "length": 55})" "\n"
                       R"({"record": "HDR_T", "streams_end": 55, "params_size": 0, "name": "", "streams": [{"number": 0, "type": 1, )"
                       R"("codec": "mp4v", "text2": "", "text3": ""}, {"number": 10, "type": 2, "codec": "ima1", "text2": "", "text3": "-rate=8000"}, )"
                       R"({"number": 11, "type": 4, "codec": "text", "text2": "", "text3": ""}, {"number": 12, "type": 4, "codec": "nmea", )"
                       R"("text2": "", "text3": ""}], "params": []})" "\n"
                       R"({"record": "zvr3parser_position", "type": 3, "position": 59, "length": 13})" "\n"
                       R"({"record": "IDX_T", "time": 1700000000, "value": 0, "bytes": ""})" "\n"
                       R"({"record": "zvr3parser_position", "type": 4, "position": 72, "length": 11})" "\n"
                       R"({"record": "DATA_T", "size": 7, "level": 31, "marked": false, "part": 3, "stream": 11, "time": 1700000000000, )"
                       R"("extra": 0, "bytes": 7, "sha1": "9058f5f165a96fd4dc3ed990b438a658ba94a8fb"})" "\n");
    usage({"probe"}, "give one input file");
    usage({"probe", "--format", "mp3", "x"}, "--format is stream");
    usage({"probe", "--chunk-size", "0", "x"}, "--chunk-size");
    row("probe: missing file", {"probe", "/nonexistent/f"}, 1, "", "zvr3 probe: can't open '/nonexistent/f'");

    // Standard input is the recording: the junk before its header is not recorded.
    ok({"record", "-", "%DIR%/copy.zvr"}, "");
    ok({"scan", "%DIR%/copy.zvr"}, R"({"record": "ZVR_ID3_REC", "type": 0, "count": 0, "position": 55, "time": 1700000000000, )");
    row("scan: missing file", {"scan", "/nonexistent/a.zvr"}, 1, cantOpen + R"x(/nonexistent/a.zvr\". No such file or directory (5)", "reason": "FileError"})x" "\n",
        "zvr3 scan: Can't open file \"/nonexistent/a.zvr\". No such file or directory (5)\n");
    usage({"scan"}, "give one archive file");
    row("record: output can't be opened", {"record", "-", "/nonexistent/b.zvr"}, 1, cantOpen + "/nonexistent/b.zvr",
        "zvr3 record: Can't open file");
    row("record: missing input", {"record", "/nonexistent/c.zvr", "x"}, 1, "", "zvr3 record: can't open '/nonexistent/c.zvr'");
    usage({"record", "-"}, "give an input");

    ok({"decode", "--stream", "10", "-"},
       R"({"record": "zvr3item", "stream": {"number": 10, "type": 2, "codec": "ima1", "text2": "", "text3": "-rate=8000"}, )"
       R"("time": 1700000000000, "duration": 40, "extra": 0, "level": 100, "bytes": 3, "sha1": "3238db497216e644d44bc74c4cf480f9fd021e6c", )"
       R"("value": {"sound": {"rate": 8000, "channels": 1, "samples": 6, "sha1": "0db5fa032b25a0312ee5f80e6b706aaf1256720c"}}, "value2": null})" "\n");
    usage({"decode", "x"}, "--stream N is required");
    usage({"decode", "--stream", "one", "x"}, "--stream takes");
    usage({"decode", "--stream", "1"}, "give one input file");
    row("decode: missing file", {"decode", "--stream", "1", "/nonexistent/f"}, 1, "", "zvr3 decode: can't open '/nonexistent/f'");

    usage({"live"}, "zvr3 live: give one recorder URL");
    usage({"live", "--bogus", bad}, "zvr3 live: Unknown option 'bogus'");
    usage({"live", "--channels", "1,300", bad}, "zvr3 live: --channels takes");
    usage({"live", "--duration", "soon", bad}, "zvr3 live: --duration takes");
    usage({"live", "--reconnect", "--stats", "-1", bad}, "zvr3 live: --stats takes milliseconds");
    usage({"live", "--queue-limit", "x", bad}, "zvr3 live: --queue-limit takes a number of records, 0 or more");
    usage({"archive", "--start", "20231114221320", "--idle", "-5", bad}, "zvr3 archive: --idle takes milliseconds");
    usage({"archive", "--start", "20231114221320", "--back-pressure", "1.5", bad}, "zvr3 archive: --back-pressure takes");
    usage({"events", "--max-delay", "100", bad}, "zvr3 events: --max-delay goes with --reconnect");
    usage({"setup", "--stats", "soon", bad, "GET"}, "zvr3 setup: --stats takes milliseconds");
    usage({"live", "--strip", "3,256", bad}, "zvr3 live: --strip takes channel numbers from 0 to 255 separated by commas, not '3,256'");
    for (const char *list : {"", "3,,4", "3,", "-1", "0x10", "1 2", "+3"})
        usage({"live", "--strip", "1", "--unstrip", list, bad}, "zvr3 live: --unstrip takes channel numbers");
    usage({"archive", bad}, "zvr3 archive: give --start as");
    usage({"archive", "--start", "20231114221320", "--pause-at", "x", bad}, "--pause-at and --resume-after take");
    usage({"events", bad, "tcp://127.0.0.1:2"}, "zvr3 events: give one recorder URL");
    usage({"setup", "tcp://h"}, "at least one request");
    usage({"setup", "tcp://", "GET"}, "zvr3 setup: 'tcp://' is not a recorder URL");
    usage({"snapshot", "tcp://h"}, "--out FILE");
    // A place that cannot be written ends the run before it starts.
    for (const QStringList &command : {QStringList{"live"}, QStringList{"archive", "--start", "20231114221320"}}) {
        row(command[0] + " unwritable --out", command + QStringList{"--out", "/proc/zvr3-none", "%URL%"}, 1, "", "can't make the directory");
        row(command[0] + " unwritable --record", command + QStringList{"--record", "/nonexistent/x.zvr", "%URL%"}, 1,
            cantOpen + "/nonexistent/x.zvr", "Can't open file \"/nonexistent/x.zvr\"");
        row(command[0] + " refused", command + QStringList{"%REFUSED%"}, 1, denied, "Access denied\n");
    }
    ok({"live", "--queue-limit", "3", "--idle", "0", "--duration", "0", "%URL%"}, "");  // over before anything can have come
    ok({"archive", "--start", "20231114221320", "--queue-limit", "3", "--back-pressure", "0", "--duration", "0", "%URL%"}, "");
    // A refused login ends a run that reconnects, too: the recorder may lock the account.
    for (const QStringList &command : {QStringList{"live"}, QStringList{"archive", "--start", "20231114221320"}, QStringList{"events"},
                                       QStringList{"setup", "GET name"}, QStringList{"snapshot", "--out", "%DIR%/refused.png"}}) {
        row(command[0] + " refused, --reconnect", QStringList{command[0], "--reconnect", "%REFUSED%"} + command.mid(1), 1,
            R"({"record": "zvr3stats", "state": "Connecting", "attempt": 1, )", "Access denied\n");
    }
    ok({"events", "--from", "20100305140709", "%URL%?to=20100306000000"},
       R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": 1000, "number": 2, "texts": [{"id": 5, "text": "a"}]}]})" "\n");
    // A refused request ends that request only.
    row("setup", {"setup", "%URL%", "GET name", "GET nothing\r\n", "GET bytes"}, 1,
        "{\"record\": \"answer\", \"text\": \"name=Gate \xd0\x9a\\r\\n\"}\n"
        R"({"record": "zvr3error", "code": -1, "text": "Device returns error", "reason": "DeviceError"})" "\n" R"({"record": "answer", "hex": "ff0001"})" "\n",
        "zvr3 setup: Device returns error\n");
    row("setup refused", {"setup", "%REFUSED%", "GET name"}, 1, denied, "zvr3 setup: Access denied\n");
    ok({"snapshot", "%URL%?stream=3", "--out", "%DIR%/none.png"},
       R"({"record": "QImage", "description": "no signal", "width": 320, "height": 240, "file": "%DIR%/none.png"})" "\n");
    // The line names the file written: none when the picture could not be written.
    row("snapshot: file can't be written", {"snapshot", "%URL%?stream=3", "--out", "/nonexistent/x.png"}, 1, "",
        "zvr3 snapshot: can't write '/nonexistent/x.png'");
    // The stand-in for a picture that did not come is written, but it is a failure.
    row("snapshot error", {"snapshot", "%URL%?stream=4", "--out", "%DIR%/error.png"}, 1,
        R"({"record": "QImage", "description": "error", )", "zvr3 snapshot: no picture came");

    // The tool reads the rule, the mode and the times; the conversions are the library's.
    const QString rule = QStringLiteral("--rule=UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    ok({"tz", rule, "--to-local", "1269730799", "1269730800", "4294967295"}, "1269741599\n1269745200\n10799\n");
    ok({"tz", "--offset", "--rule", "-03-5", "--", "0"}, "18000\n");  // "-03" is the zone's name
    ok({"tz", "--rule", "", "--mktime", "2010-03-27 23:00:00"}, "1269730800\n");
    usage({"tz", "--rule=UTC+3", "5"}, "zvr3 tz: give one of --to-local");
    usage({"tz", "--rule=UTC+3", "--to-local", "--offset", "5"}, "give only one of");
    usage({"tz", "--to-local", "5"}, "--rule=RULE");
    usage({"tz", "--rule=UTC+3", "--offset", "1", "4294967296"}, "not '4294967296'");
    usage({"tz", "--mktime", "2101-02-29 00:00:00"}, "not '2101-02-29 00:00:00'");
}

void tst_zvr3tool::runs()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    const QList<QPair<QString, QString>> places = {{"%URL%", m_url}, {"%DIR%", m_dir.path()}, {"%SAMPLES%", ZVR3_SAMPLES},
                                                   {"%REFUSED%", m_recorder.url("op", "wrong").toString()}};
    for (const auto &[place, value] : places) {
        arguments.replaceInStrings(place, value);
        out.replace(place.toUtf8(), value.toUtf8());
    }
    const int sessions = m_recorder.sessionCount();
    const zvr3test::ToolRun r = Running(arguments, m_stream, m_dir.path(), true).wait();
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(err.isEmpty() ? r.err.isEmpty() : r.err.contains(err), r.err.constData());
    QVERIFY2(out.isEmpty() ? r.out.isEmpty() : r.out.startsWith(out), r.out.left(2000).constData());
    if (exitCode == 2 || QByteArray(QTest::currentDataTag()).contains("unwritable"))  // a bad command line or place
        QCOMPARE(m_recorder.sessionCount(), sessions);  // never reaches the recorder
}

// Ended by SIGINT or SIGTERM mid-stream, `live` keeps whole lines and a file holding every record it
// listed, and has sent the channel requests as given.
void tst_zvr3tool::liveStops_data()
{
    QTest::addColumn<QStringList>("arguments");  // %URL%: the recorder, %DIR%: a scratch directory
    QTest::addColumn<int>("signal");
    QTest::addColumn<QList<QByteArray>>("requests");
    const QList<QByteArray> open = {"STRIP_00", "STRIP_01", "STRIP_02", "STRIP_03"};
    QTest::newRow("SIGINT, --strip") << QStringList{"live", "--record", "%DIR%/int.zvr", "--strip", "3,171", "%URL%"}
                                     << SIGINT << open + QList<QByteArray>{"STRIP_03", "STRIP_AB"};
    // --channels first; then --strip and --unstrip in the order given, in either form.
    QTest::newRow("SIGTERM, --channels, --unstrip, --strip, --out")
        << QStringList{"live", "--unstrip", "0,10,31,255", "--record", "--strip.zvr", "--strip=3", "--channels", "0,5",
                       "--unstrip", "1", "--out", "%DIR%/term", "%URL%"}
        << SIGTERM
        << open + QList<QByteArray>{"UNSTRIP_01", "UNSTRIP_02", "UNSTRIP_03", "STRIP_05", "UNSTRIP_00", "UNSTRIP_0A",
                                    "UNSTRIP_1F", "UNSTRIP_FF", "STRIP_03", "UNSTRIP_01"};
}

void tst_zvr3tool::liveStops()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(QList<QByteArray>, requests);
    zvr3fake::FakeRecorder recorder;
    recorder.onLogin = [this](FakeSession *s) { s->send(m_stream.left(m_twoFrames), 1000); };
    QVERIFY(recorder.listen());
    arguments.replaceInStrings("%URL%", recorder.url().toString());
    arguments.replaceInStrings("%DIR%", m_dir.path());
    const QString file = QDir(m_dir.path()).absoluteFilePath(arguments.at(arguments.indexOf("--record") + 1));

    Running tool(arguments, QByteArray(), m_dir.path());
    // Once the requests and the records of two frames are in, the rest of the stream comes in small
    // pieces and the signal amid them.
    QTRY_VERIFY_WITH_TIMEOUT(recorder.lastSession() && recorder.lastSession()->requests().size() >= requests.size()
                                 && tool.count("{\"record\": \"DATA_T\"") == 8, 60000);
    QCOMPARE(recorder.lastSession()->requests(), requests);
    recorder.lastSession()->send(m_stream.mid(m_twoFrames), 7);
    const zvr3test::ToolRun r = tool.stop(signal);

    QCOMPARE(r.exitCode, 128 + signal);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QVERIFY(r.out.endsWith('\n'));
    const QStringList printed = lines(r.out).filter(Saved);
    QVERIFY(printed.filter("DATA_T").size() >= 8);
    zvr3parser parser;
    QCOMPARE(zvr3test::listing(zvr3test::feed(parser, zvr3test::fileBytes(file), 0)).filter(Saved), printed);
    if (const qsizetype out = arguments.indexOf("--out"); out > 0) {
        // Every sound record listed was decoded (6 samples of 16 bits each), and the file finished.
        const int sounds = int(printed.filter(QRegularExpression(QStringLiteral(R"("record": "DATA_T".*"stream": 10,)"))).size());
        const QByteArray wav = zvr3test::fileBytes(arguments.at(out + 1) + QStringLiteral("/stream-10/audio.wav"));
        QCOMPARE(wav.size(), 44 + 12 * sounds);
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 40), quint32(12 * sounds));
    }
}

// Every command that can run long ends on SIGINT and SIGTERM with 130 and 143, whole lines and
// finished files: reading standard input that stays open, or waiting for a recorder that never
// answers the login. Live and archive are stopped mid-stream by liveStops and archiveToFiles.
void tst_zvr3tool::stops_data()
{
    QTest::addColumn<QStringList>("arguments");  // %DIR%: a scratch directory, %MUTE%: the recorder
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("awaited");  // a part of the listing, to come before the signal...
    QTest::addColumn<int>("count");           // ...this many times
    const QByteArray item = R"({"record": "zvr3item")";
    QTest::newRow("decode") << QStringList{"decode", "--stream", "10", "--out", "%DIR%/stop-decode", "-"} << SIGINT << item << Frames;
    QTest::newRow("probe") << QStringList{"probe", "-"} << SIGTERM << QByteArray(R"({"record": "DATA_T")") << 4 * Frames;
    QTest::newRow("record") << QStringList{"record", "-", "%DIR%/stop.zvr"} << SIGTERM << QByteArray() << 0;
    int signal = SIGINT;
    for (const char *command : {"events", "setup", "snapshot"}) {
        QStringList arguments{command, "%MUTE%"};
        if (arguments[0] == "setup")
            arguments << "GET name";
        else if (arguments[0] == "snapshot")
            arguments << "--out" << "%DIR%/mute.png";
        QTest::newRow(command) << arguments << signal << QByteArray() << 0;
        signal = signal == SIGINT ? SIGTERM : SIGINT;
    }
}

void tst_zvr3tool::stops()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(QByteArray, awaited);
    QFETCH(int, count);
    zvr3fake::FakeRecorder mute;
    mute.loginMode = zvr3fake::FakeRecorder::Silent;
    QVERIFY(mute.listen());
    const bool network = arguments.contains("%MUTE%");
    arguments.replaceInStrings("%MUTE%", mute.url().toString());
    arguments.replaceInStrings("%DIR%", m_dir.path());
    if (arguments[0] == "record")
        QFile::remove(arguments.last());

    Running tool(arguments, network ? QByteArray() : m_stream, m_dir.path());
    // The command has started its work: it listed what it was given, made its file or connected.
    QTRY_VERIFY_WITH_TIMEOUT(tool.count(awaited.constData()) >= count
                                 && (!network || mute.sessionCount() == 1)
                                 && (arguments[0] != "record" || QFile::exists(arguments.last())), 60000);
    const zvr3test::ToolRun r = tool.stop(signal);
    QCOMPARE(r.exitCode, 128 + signal);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QVERIFY(network ? r.out.isEmpty() : r.out.isEmpty() || r.out.endsWith('\n'));
    if (arguments[0] == "decode") {  // every item listed is in the finished sound file
        const QByteArray wav = zvr3test::fileBytes(arguments.at(4) + QStringLiteral("/audio.wav"));
        QCOMPARE(wav.size(), 44 + 12 * Frames);
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 40), quint32(12 * Frames));
    } else if (arguments[0] == "record") {  // the records read so far, whole
        zvr3parser source;
        zvr3parser copy;
        const QStringList sent = zvr3test::listing(zvr3test::feed(source, m_stream, 0)).filter(Saved);
        const QStringList kept = zvr3test::listing(zvr3test::feed(copy, zvr3test::fileBytes(arguments.last()), 0)).filter(Saved);
        QCOMPARE(kept, sent.mid(0, kept.size()));
    }
}

// Every stream of the recording decoded into a directory of its own, with the content sent.
void tst_zvr3tool::checkFiles(const QString &out)
{
    for (int i = 0; i <= Frames; ++i) {  // the pictures, each close to its source, and no more
        const QImage png(out + QStringLiteral("/stream-00/frame-%1.png").arg(i + 1, 6, 10, QLatin1Char('0')));
        QCOMPARE(png.size(), i < Frames ? QSize(176, 144) : QSize(0, 0));
        QVERIFY2(i == Frames || zvr3testvideo::psnr(png, m_video.sources.at(i)) > 25, qPrintable(QString::number(i)));
    }
    const QByteArray wav = zvr3test::fileBytes(out + QStringLiteral("/stream-10/audio.wav"));
    QCOMPARE(wav.size(), 44 + Frames * 12);  // 6 samples of 16 bits per 3-byte record
    QVERIFY(wav.startsWith("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 24), 8000u);
    const qint16 samples[] = {11, 13, 14, 15, 16, 17};
    QCOMPARE(wav.mid(44, 12), QByteArray(reinterpret_cast<const char *>(samples), 12));
    QCOMPARE(zvr3test::fileBytes(out + QStringLiteral("/stream-11/texts.txt")), QByteArray("hello 0\nhello 1\nhello 2\nhello 3\nhello 4\n"));
    const QStringList positions = lines(zvr3test::fileBytes(out + QStringLiteral("/stream-12/positions.jsonl")));
    QCOMPARE(positions.size(), Frames);
    QCOMPARE(positions.last(), R"({"latitude": 48.117299999999986, "longitude": 11.516666666666667, "altitude": 0, "course": 84.4, )"
                               R"("speed": 11.523555545599999, "time": 764426119000, "valid": true, "satellites": 0, "hdop": 0})");
}

// `live --reconnect` lists the failure and goes on: the next connection asks for the same
// channels and its stream is listed from its first record.
void tst_zvr3tool::liveReconnects()
{
    Running tool({"live", "--reconnect", "--channels", "0,5", "--idle", "0", m_url}, QByteArray(), m_dir.path());
    QTRY_COMPARE_WITH_TIMEOUT(tool.count("zvr3parser_combined_DATA_T"), 4 * Frames, 60000);
    const int sessions = m_recorder.sessionCount();
    m_recorder.lastSession()->abort();
    QTRY_COMPARE_WITH_TIMEOUT(tool.count("zvr3parser_combined_DATA_T"), 8 * Frames, 60000);
    const zvr3test::ToolRun r = tool.stop(SIGINT);
    QCOMPARE(r.exitCode, 128 + SIGINT);
    QCOMPARE(m_recorder.sessionCount(), sessions + 1);
    QCOMPARE(m_recorder.lastSession()->requests(), QList<QByteArray>({"STRIP_00", "STRIP_01", "STRIP_02", "STRIP_03", "UNSTRIP_01",
                                                                     "UNSTRIP_02", "UNSTRIP_03", "STRIP_05"}));
    const QStringList states = lines(r.out).filter(QLatin1String(R"({"record": "zvr3stats")"));
    QCOMPARE(states.size(), 5);
    QVERIFY(states.at(2).startsWith(R"({"record": "zvr3stats", "state": "WaitingToReconnect", "attempt": 1, "nextAttemptMs": )"));
    QVERIFY(states.at(4).startsWith(R"({"record": "zvr3stats", "state": "Streaming", "attempt": 2, "nextAttemptMs": -1, "reconnects": 1)"));
    QVERIFY(r.err.contains("The remote host closed the connection"));
}

// The request commands behind their supervisor, against the recorder simulator: with --reconnect a
// run waits through an outage from the start (SIGUSR1 takes the simulator down until SIGUSR2), and
// its answer after it makes the exit code 0. Without it, a recorder that logs in and then sends
// nothing ends live and archive after --idle. How the supervisor of `live` and `archive` comes
// back after an outage is the library's, and `liveReconnects` shows the tool's part in it.
void tst_zvr3tool::supervised_data()
{
    QTest::addColumn<QStringList>("arguments");  // %URL%: the simulator, %DIR%: a scratch directory, %START%: 10 s ago
    QTest::addColumn<QStringList>("simulator");  // its options
    QTest::addColumn<QByteArray>("after");       // listed after the outage
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("err");         // a part of standard error
    const QStringList small{"--channels", "2", "--size", "160x120"};
    const QByteArray refused = "Connection refused";
    QTest::newRow("events outage") << QStringList{"events", "--reconnect", "%URL%?from=20000101000000&to=20991231235959"} << small
                                   << QByteArray(R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": )") << 0 << refused;
    QTest::newRow("snapshot outage") << QStringList{"snapshot", "--reconnect", "--out", "%DIR%/back.png", "%URL%?stream=1"} << small
                                     << QByteArray(R"({"record": "QImage", "description": "ok", )") << 0 << refused;
    QTest::newRow("setup outage") << QStringList{"setup", "--reconnect", "%URL%", "GET device.name"} << small
                                  << QByteArray(R"({"record": "answer", "text": "device.name=zvr3-sim\r\n"})") << 0 << refused;
    const QStringList stall = small + QStringList{"--stall-after", "1"};  // after the first answer, until SIGUSR2
    const QByteArray timeout = "Network operation timeout\n";
    QTest::newRow("live stalls") << QStringList{"live", "--idle", "1000", "%URL%"} << stall << QByteArray() << 1
                                 << QByteArray("zvr3 live: " + timeout);
    QTest::newRow("archive stalls") << QStringList{"archive", "--idle", "1000", "--start", "%START%", "%URL%"} << stall
                                    << QByteArray() << 1 << QByteArray("zvr3 archive: " + timeout);
}

void tst_zvr3tool::supervised()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, simulator);
    QFETCH(QByteArray, after);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, err);
    zvr3test::Sim sim(simulator);
    QVERIFY(sim.port != 0);
    arguments.replaceInStrings("%URL%", sim.url().toString());
    arguments.replaceInStrings("%DIR%", m_dir.path());
    // The simulator's clock is UTC.
    arguments.replaceInStrings("%START%", QDateTime::currentDateTimeUtc().addSecs(-10).toString("yyyyMMddhhmmss"));
    const bool outage = exitCode == 0;
    if (outage) {
        sim.signal(SIGUSR1);
        QTRY_VERIFY_WITH_TIMEOUT(sim.lines().contains("zvr3-sim down until SIGUSR2"), 60000);
    }

    Running tool(arguments, QByteArray(), m_dir.path());
    if (outage) {
        // It tries again while the simulator is down.
        QTRY_VERIFY_WITH_TIMEOUT(tool.count(R"("text": "Connection refused")") > 0, 60000);
        sim.signal(SIGUSR2);
    }
    const zvr3test::ToolRun r = tool.wait();
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(err), r.err.constData());
    QVERIFY2(r.out.contains(after), r.out.right(2000).constData());
}

// `archive --out` stopped by SIGINT once everything the recorder sent has been listed: the decoders
// finish what they were given and the files are complete. `live --out` writes through the same
// outputs (liveStops checks its sound file, and --record).
void tst_zvr3tool::archiveToFiles()
{
    const QString out = m_dir.filePath(QStringLiteral("archive"));
    Running tool({"archive", "--start", "2023-11-14T22:13:20", "--channels", "1", "--pause-at", "0.2", "--resume-after", "0.5",
                  "--out", out, m_url},
                 QByteArray(), m_dir.path());
    QTRY_VERIFY_WITH_TIMEOUT(tool.count("zvr3parser_combined_DATA_T") == 4 * Frames && tool.count(R"("paused": false)") == 1, 60000);
    const zvr3test::ToolRun r = tool.stop(SIGINT);
    QCOMPARE(r.exitCode, 128 + SIGINT);
    QCOMPARE(m_recorder.lastSession()->requests().mid(0, 2), QList<QByteArray>({"ENABLE_01", "GET_TIME_14/11/2023,22:13:20"}));
    QCOMPARE(lines(r.out).filter(QLatin1String(R"({"record": "pause")")),
             QStringList({R"({"record": "pause", "paused": true})", R"({"record": "pause", "paused": false})"}));
    checkFiles(out);
}

QTEST_MAIN(tst_zvr3tool)
#include "tst_zvr3tool.moc"
