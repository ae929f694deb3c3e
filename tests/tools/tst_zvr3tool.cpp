#include <QtTest>

#include "zvr3fakerecorder.h"
#include "zvr3parser.h"
#include "zvr3streamwriter.h"
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
    void probeListing();
    void recordThenScan();
    void decodeVideo();
    void liveToFiles();
    void archiveToFiles();
    void snapshotFile();

private:
    void answer(FakeSession *session, const QByteArray &line);
    void checkFiles(const QString &out);

    QTemporaryDir m_dir;
    zvr3fake::FakeRecorder m_recorder;
    QByteArray m_header;
    QByteArray m_stream;  // MPEG-4 video (stream 0), IMA ADPCM sound (10), texts (11), NMEA (12)
    QByteArray m_chunk;   // the same as one chunk of a recorder's archive
    QByteArray m_jpeg;
    zvr3testvideo::Encoded m_video;
};

namespace {
constexpr quint32 Start = 1700000000;
constexpr int Frames = 5;
const qint16 Samples[] = {11, 13, 14, 15, 16, 17};  // the sound of each 3-byte record below

zvr3test::ToolRun run(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    return zvr3test::runTool(QStringLiteral(ZVR3_TOOL), arguments, input);
}

QList<QByteArray> lines(const QByteArray &out)
{
    const QByteArray text = out.trimmed();
    return text.isEmpty() ? QList<QByteArray>() : text.split('\n');
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A listing without its position records and chunk headers, which depend on how the bytes came.
QList<QByteArray> records(const QList<QByteArray> &listing)
{
    QList<QByteArray> kept;
    for (const QByteArray &line : listing) {
        if (!line.contains("zvr3parser_position") && !line.contains("ARCHIVE_T_HDR"))
            kept.append(line);
    }
    return kept;
}

QList<QByteArray> parsed(const QByteArray &stream)
{
    zvr3parser parser;
    QList<QByteArray> listing;
    for (const QString &line : zvr3test::listing(zvr3test::feed(parser, stream, 0)))
        listing.append(line.toUtf8());
    return records(listing);
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
}

void tst_zvr3tool::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_video = zvr3testvideo::encode("mpeg4", 176, 144, Frames);
    QCOMPARE(m_video.packets.size(), Frames);
    HDR_T header;
    header.streams = {{0, 1, "mp4v", "", ""}, {10, 2, "ima1", "", "-rate=8000"}, {11, 4, "text", "", ""},
                      {12, 4, "nmea", "", ""}};
    m_header = zvr3stream::encodeHeader(header);
    QByteArray records = zvr3stream::encodeIndex({Start, 0, QByteArray()});
    for (int i = 0; i < Frames; ++i) {
        records += data(0, m_video.packets.at(i), true, 40 * i);
        records += data(10, QByteArray("\x70\x00\x00", 3));
        records += data(11, "hello " + QByteArray::number(i));
        records += data(12, "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    }
    m_stream = m_header + records;
    QFile file(m_dir.filePath(QStringLiteral("recording.zvr")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_stream) == m_stream.size());
    // A section opened by the header, a chunk header and the index record, closed by a chunk header
    // naming the next chunk and its index record; the next chunk never comes.
    m_chunk = m_header + zvr3stream::encodeChunkHeader({0, 1, 0, 0}) + records
        + zvr3stream::encodeChunkHeader({1, 2, 0, 0}) + zvr3stream::encodeIndex({Start + 1, 0, QByteArray()});

    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QBuffer buffer(&m_jpeg);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "JPEG"));

    m_recorder.checkLogin = true;
    m_recorder.expectedUser = QStringLiteral("op");
    m_recorder.expectedPassword = QStringLiteral("pw");
    m_recorder.onLogin = [this](FakeSession *s) {
        if (s->service() == 1)
            s->send(m_stream, 1000);  // live: the stream, and the line kept open
    };
    m_recorder.onRequest = [this](FakeSession *s, const QByteArray &line) { answer(s, line); };
    QVERIFY(m_recorder.listen());
}

// What the fake recorder answers; a request it does not know ends the connection.
void tst_zvr3tool::answer(FakeSession *s, const QByteArray &line)
{
    QByteArray jpegFrame(4, '\0');
    if (line.startsWith("GET_TIME_")) {
        s->send(m_chunk, 1000);
    } else if (line == "GET_ALL_EVENTS_05/03/2010,14:07:09,06/03/2010,00:00:00") {
        s->send(zvr3test::hex("06E5E5E5 01000000 00000000 0C000000 01000000 02000000 01 05 6100 07E5E5E5"), 5);
    } else if (line == "GET name") {
        s->send(zvr3fake::answerBlock("name=Gate \xd0\x9a\r\n"));
    } else if (line == "GET bytes") {
        s->send(zvr3fake::answerBlock(QByteArray("\xff\x00\x01", 3)));
    } else if (line == "GET nothing") {
        s->send(zvr3fake::answerBlock("", "TRAL_ANSWER=ERROR\r\n"));
    } else if (line == "GET_JPEG_STREAM 2 320 240 90 -1" || line == "GET_JPEG_STREAM 3 320 240 90 -1") {
        const QByteArray payload = line.at(16) == '2' ? m_jpeg : QByteArray("-5:");
        qToLittleEndian<quint32>(quint32(payload.size()), jpegFrame.data());
        s->send(jpegFrame + payload);
        s->closeWhenSent();
    } else if (s->service() > 2) {
        s->abort();
    }
}

void tst_zvr3tool::runs_data()
{
    // In arguments and output: %URL% is the recorder with the right password, %REFUSED% with a
    // wrong one, %DIR% a scratch directory, %SAMPLES% the samples the build makes.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");  // how standard output starts (empty: it is empty)
    QTest::addColumn<QByteArray>("err");  // a part of standard error (empty: it is empty)
    const QByteArray denied = R"({"record": "zvr3error", "code": -1, "text": "Access denied"})" "\n";
    const QString bad = QStringLiteral("tcp://127.0.0.1:1");
    QTest::newRow("no command") << QStringList() << 2 << QByteArray() << QByteArray("Usage: zvr3");
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << QByteArray() << QByteArray("unknown command 'frobnicate'");
    for (const char *command : {"probe", "decode", "live", "archive", "events", "setup", "snapshot", "record", "scan", "tz"})
        QTest::addRow("%s --help", command) << QStringList{command, "--help"} << 0
                                            << "Usage: zvr3 " + QByteArray(command) + ' ' << QByteArray();

    QTest::newRow("probe index") << QStringList{"probe", "--format", "index", "%SAMPLES%/sample.id3"} << 0
        << QByteArray(R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})" "\n") << QByteArray();
    QTest::newRow("probe events") << QStringList{"probe", "--format", "events", "%SAMPLES%/sample.evt"} << 0
        << QByteArray(R"({"record": "zvr3parser_position", "type": 6, "position": 0, "length": 28})" "\n") << QByteArray();
    QTest::newRow("probe in chunks") << QStringList{"probe", "--chunk-size", "1000", "%SAMPLES%/sample.zvr"} << 0
        << QByteArray(R"({"record": "zvr3parser_position", "type": 7, "position": 0, "length": 0})" "\n") << QByteArray();
    QTest::newRow("probe: no file") << QStringList{"probe"} << 2 << QByteArray() << QByteArray("give one input file");
    QTest::newRow("probe: bad format") << QStringList{"probe", "--format", "mp3", "x"} << 2 << QByteArray() << QByteArray("--format is stream");
    QTest::newRow("probe: bad chunk size") << QStringList{"probe", "--chunk-size", "0", "x"} << 2 << QByteArray() << QByteArray("--chunk-size");
    QTest::newRow("probe: missing file") << QStringList{"probe", "/nonexistent/f"} << 1 << QByteArray() << QByteArray("can't open '/nonexistent/f'");

    QTest::newRow("decode text") << QStringList{"decode", "--stream", "11", "%DIR%/recording.zvr"} << 0 << QByteArray(
        R"({"record": "zvr3item", "stream": {"number": 11, "type": 4, "codec": "text", "text2": "", "text3": ""}, "time": 1700000000000, )"
        R"("duration": 40, "extra": 0, "level": 100, "bytes": 7, "sha1": "9058f5f165a96fd4dc3ed990b438a658ba94a8fb", "value": {"text": "hello 0"}, "value2": null})" "\n")
        << QByteArray();
    QTest::newRow("decode sound") << QStringList{"decode", "--stream", "10", "%DIR%/recording.zvr"} << 0 << QByteArray(
        R"({"record": "zvr3item", "stream": {"number": 10, "type": 2, "codec": "ima1", "text2": "", "text3": "-rate=8000"}, )"
        R"("time": 1700000000000, "duration": 40, "extra": 0, "level": 100, "bytes": 3, "sha1": "3238db497216e644d44bc74c4cf480f9fd021e6c", )"
        R"("value": {"sound": {"rate": 8000, "channels": 1, "samples": 6, "sha1": "0db5fa032b25a0312ee5f80e6b706aaf1256720c"}}, "value2": null})" "\n")
        << QByteArray();
    QTest::newRow("decode positions") << QStringList{"decode", "--stream", "12", "-"} << 0 << QByteArray(
        R"({"record": "zvr3item", "stream": {"number": 12, "type": 4, "codec": "nmea", "text2": "", "text3": ""}, "time": 1700000000000, )"
        R"("duration": 40, "extra": 0, "level": 100, "bytes": 70, "sha1": "7aac0db6f3e1b38b1c0997595f52282c6f36c87a", "value": {"position": )"
        R"({"latitude": 48.117299999999986, "longitude": 11.516666666666667, "altitude": 0, "course": 84.4, "speed": 11.523555545599999, )"
        R"("time": 764426119000, "valid": true, "satellites": 0, "hdop": 0}}, "value2": null})" "\n")
        << QByteArray();
    QTest::newRow("decode: no stream") << QStringList{"decode", "x"} << 2 << QByteArray() << QByteArray("--stream N is required");
    QTest::newRow("decode: bad stream") << QStringList{"decode", "--stream", "one", "x"} << 2 << QByteArray() << QByteArray("--stream takes");
    QTest::newRow("decode: stream too big") << QStringList{"decode", "--stream", "256", "x"} << 2 << QByteArray() << QByteArray("--stream takes");
    QTest::newRow("decode: no file") << QStringList{"decode", "--stream", "1"} << 2 << QByteArray() << QByteArray("give one input file");
    QTest::newRow("decode: missing file") << QStringList{"decode", "--stream", "1", "/nonexistent/f"} << 1 << QByteArray()
                                          << QByteArray("can't open '/nonexistent/f'");

    QTest::newRow("scan: missing file") << QStringList{"scan", "/nonexistent/a.zvr"} << 1 << QByteArray(
        R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \"/nonexistent/a.zvr\". No such file or directory (5)"})x" "\n")
        << QByteArray();
    QTest::newRow("scan: no file") << QStringList{"scan"} << 2 << QByteArray() << QByteArray("give one archive file");
    QTest::newRow("record: output can't be opened") << QStringList{"record", "-", "/nonexistent/b.zvr"} << 1 << QByteArray(
        R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \"/nonexistent/b.zvr\". No such file or directory (5)"})x" "\n")
        << QByteArray();
    QTest::newRow("record: missing input") << QStringList{"record", "/nonexistent/c.zvr", "x"} << 1 << QByteArray()
                                           << QByteArray("can't open '/nonexistent/c.zvr'");
    QTest::newRow("record: no output") << QStringList{"record", "-"} << 2 << QByteArray() << QByteArray("give an input");

    QTest::newRow("live: no URL") << QStringList{"live"} << 2 << QByteArray() << QByteArray("give one recorder URL");
    QTest::newRow("live: URL without host") << QStringList{"live", "nothing"} << 2 << QByteArray() << QByteArray("'nothing' is not a recorder URL");
    QTest::newRow("live: unknown option") << QStringList{"live", "--bogus", bad} << 2 << QByteArray() << QByteArray("zvr3 live: Unknown option 'bogus'");
    QTest::newRow("live: bad channels") << QStringList{"live", "--channels", "1,300", bad} << 2 << QByteArray() << QByteArray("--channels takes");
    QTest::newRow("live: bad duration") << QStringList{"live", "--duration", "soon", bad} << 2 << QByteArray() << QByteArray("--duration takes");
    QTest::newRow("archive: no start") << QStringList{"archive", bad} << 2 << QByteArray() << QByteArray("give --start as");
    QTest::newRow("archive: bad start") << QStringList{"archive", "--start", "yesterday", bad} << 2 << QByteArray() << QByteArray("give --start as");
    QTest::newRow("archive: bad channels") << QStringList{"archive", "--start", "20231114221320", "--channels", "x", bad} << 2
                                           << QByteArray() << QByteArray("zvr3 archive: --channels takes");
    QTest::newRow("archive: bad pause") << QStringList{"archive", "--start", "20231114221320", "--pause-at", "x", bad} << 2
                                        << QByteArray() << QByteArray("--pause-at and --resume-after take");
    QTest::newRow("events: two URLs") << QStringList{"events", bad, "tcp://127.0.0.1:2"} << 2 << QByteArray() << QByteArray("zvr3 events: give one recorder URL");
    QTest::newRow("setup: no request") << QStringList{"setup", "tcp://h"} << 2 << QByteArray() << QByteArray("at least one request");
    QTest::newRow("setup: bad URL") << QStringList{"setup", "tcp://", "GET"} << 2 << QByteArray() << QByteArray("is not a recorder URL");
    QTest::newRow("snapshot: no --out") << QStringList{"snapshot", "tcp://h"} << 2 << QByteArray() << QByteArray("--out FILE");
    // A place that cannot be written ends the run before it starts.
    for (const char *command : {"live", "archive"}) {
        const QStringList start = command == QByteArray("archive") ? QStringList{"--start", "20231114221320"} : QStringList();
        QTest::addRow("%s: unwritable --out", command) << QStringList{command} + start + QStringList{"--out", "/proc/zvr3-none", "%URL%"}
                                                      << 1 << QByteArray() << QByteArray("can't make the directory");
        QTest::addRow("%s: unwritable --record", command)
            << QStringList{command} + start + QStringList{"--record", "/nonexistent/x.zvr", "%URL%"} << 1
            << QByteArray(R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \"/nonexistent/x.zvr\". No such file or directory (5)"})x")
            << QByteArray("can't record to");
        QTest::addRow("%s: refused", command) << QStringList{command} + start + QStringList{"%REFUSED%"} << 1 << denied << QByteArray();
    }
    QTest::newRow("events") << QStringList{"events", "--from", "20100305140709", "%URL%?to=20100306000000"} << 0 << QByteArray(
        R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": 1000, "number": 2, "texts": [{"id": 5, "text": "a"}]}]})" "\n") << QByteArray();
    QTest::newRow("events: refused") << QStringList{"events", "%REFUSED%"} << 1 << denied << QByteArray();
    // The refused request ends that request only.
    QTest::newRow("setup") << QStringList{"setup", "%URL%", "GET name", "GET nothing\r\n", "GET bytes"} << 1 << QByteArray(
        "{\"record\": \"answer\", \"text\": \"name=Gate \xd0\x9a\\r\\n\"}\n"
        R"({"record": "zvr3error", "code": -1, "text": "Device returns error"})" "\n"
        R"({"record": "answer", "hex": "ff0001"})" "\n") << QByteArray();
    QTest::newRow("setup: refused") << QStringList{"setup", "%REFUSED%", "GET name"} << 1 << denied << QByteArray();
    QTest::newRow("snapshot: no signal") << QStringList{"snapshot", "%URL%?stream=3", "--out", "%DIR%/none.png"} << 0 << QByteArray(
        R"({"record": "QImage", "description": "no signal", "width": 320, "height": 240, "file": "%DIR%/none.png"})" "\n") << QByteArray();
    QTest::newRow("snapshot: unwritable") << QStringList{"snapshot", "%URL%?stream=3", "--out", "/nonexistent/x.png"} << 1
                                          << QByteArray("{\"record\": \"QImage\"") << QByteArray("zvr3 snapshot: can't write '/nonexistent/x.png'");

    // The tool reads the rule, the mode and the times; the conversions are the library's.
    const QString rule = QStringLiteral("--rule=UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    QTest::newRow("tz to local") << QStringList{"tz", rule, "--to-local", "1269730799", "1269730800", "1288479599", "1288479600",
                                             "4294967295"}
                                 << 0 << QByteArray("1269741599\n1269745200\n1288493999\n1288490400\n10799\n") << QByteArray();
    QTest::newRow("tz to gmt") << QStringList{"tz", "--to-gmt", rule, "1269745200", "1288490400"} << 0
                               << QByteArray("1269734400\n1288476000\n") << QByteArray();
    QTest::newRow("tz offset") << QStringList{"tz", rule, "--offset", "1263556800", "1277942400"} << 0 << QByteArray("10800\n14400\n") << QByteArray();
    QTest::newRow("tz offset west wraps") << QStringList{"tz", "--rule=UTC+1", "--offset", "1263556800"} << 0 << QByteArray("4294963696\n") << QByteArray();
    // "-03" is taken as the zone name, then five hours east.
    QTest::newRow("tz rule starting with minus") << QStringList{"tz", "--to-local", "--rule", "-03-5", "0"} << 0 << QByteArray("18000\n") << QByteArray();
    QTest::newRow("tz empty rule") << QStringList{"tz", "--rule=", "--to-local", "1000"} << 0 << QByteArray("1000\n") << QByteArray();
    QTest::newRow("tz empty rule, separate") << QStringList{"tz", "--rule", "", "--offset", "1000"} << 0 << QByteArray("0\n") << QByteArray();
    QTest::newRow("tz times after --") << QStringList{"tz", "--rule=UTC+3", "--to-gmt", "--", "7"} << 0 << QByteArray("10807\n") << QByteArray();
    QTest::newRow("tz mktime") << QStringList{"tz", "--mktime", "2010-03-27 23:00:00"} << 0 << QByteArray("1269730800\n") << QByteArray();
    QTest::newRow("tz mktime 2100-02-29") << QStringList{"tz", "--mktime=2100-02-29 00:00:00"} << 0 << QByteArray("4107542400\n") << QByteArray();
    QTest::newRow("tz mktime with rule") << QStringList{"tz", rule, "--mktime=2100-03-01 00:00:00"} << 0 << QByteArray("4107628800\n") << QByteArray();
    QTest::newRow("tz mktime last second") << QStringList{"tz", "--mktime=2106-02-06 06:28:15"} << 0 << QByteArray("4294967295\n") << QByteArray();
    const QList<QPair<QStringList, const char *>> tzUsage = {
        {{"--rule=UTC+3", "5"}, "zvr3 tz: give one of --to-local"},
        {{"--rule=UTC+3", "--to-local", "--offset", "5"}, "give only one of"},
        {{"--to-local", "5"}, "--rule=RULE"},
        {{"--to-local", "5", "--rule"}, "--rule"},
        {{"--rule=UTC+3", "--to-local"}, "at least one time"},
        {{"--rule=UTC+3", "--to-local", "--", "-5"}, "not '-5'"},
        {{"--rule=UTC+3", "--offset", "1", "4294967296"}, "not '4294967296'"},
        {{"--rule=UTC+3", "--to-gmt", "+5"}, "not '+5'"},
        {{"--rule=UTC+3", "--to-gmt", ""}, "not ''"},
        {{"--mktime", "2010-3-1 00:00:00"}, "--mktime takes"},
        {{"--mktime", "2101-02-29 00:00:00"}, "not '2101-02-29 00:00:00'"},
        {{"--mktime", "1969-12-31 23:59:59"}, "--mktime takes"},
        {{"--mktime", "2106-02-06 06:28:16"}, "--mktime takes"},
        {{"--mktime", "2010-01-01 00:00:00", "5"}, "no further arguments"},
        {{"--rule=UTC+3", "--to-utc", "5"}, "zvr3 tz: Unknown option"},
    };
    for (const auto &[arguments, message] : tzUsage)
        QTest::addRow("tz %s", qPrintable(arguments.join(' '))) << QStringList{"tz"} + arguments << 2 << QByteArray() << QByteArray(message);
}

void tst_zvr3tool::runs()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    auto expand = [this](QString text) {
        return text.replace(QLatin1String("%URL%"), m_recorder.url(QStringLiteral("op"), QStringLiteral("pw")).toString())
            .replace(QLatin1String("%REFUSED%"), m_recorder.url(QStringLiteral("op"), QStringLiteral("wrong")).toString())
            .replace(QLatin1String("%DIR%"), m_dir.path())
            .replace(QLatin1String("%SAMPLES%"), QStringLiteral(ZVR3_SAMPLES));
    };
    for (QString &argument : arguments)
        argument = expand(argument);
    out = expand(QString::fromUtf8(out)).toUtf8();
    const int sessions = m_recorder.sessionCount();
    const zvr3test::ToolRun r = run(arguments, m_stream);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(err.isEmpty() ? r.err.isEmpty() : r.err.contains(err), r.err.constData());
    QVERIFY2(out.isEmpty() ? r.out.isEmpty() : r.out.startsWith(out), r.out.left(2000).constData());
    if (exitCode == 2 || err.startsWith("can't"))  // a bad command line or an unwritable place
        QCOMPARE(m_recorder.sessionCount(), sessions);  // never reaches the recorder
}

void tst_zvr3tool::probeListing()
{
    DATA_T record;
    record.stream = 2;
    record.part = 3;
    record.data = "abc";
    const QByteArray stream = zvr3stream::encodeHeader(HDR_T()) + zvr3stream::encodeIndex({7, 0, "\xab"})
        + zvr3stream::encodeData(record, false, 7);
    const zvr3test::ToolRun r = run({"probe", "-"}, stream);
    QCOMPARE(r.exitCode, 0);
    const QList<QByteArray> expected = {
        R"({"record": "zvr3parser_position", "type": 7, "position": 0, "length": 0})",
        R"({"record": "zvr3parser_position", "type": 1, "position": 0, "length": 9})",
        R"({"record": "HDR_T", "streams_end": 9, "params_size": 0, "name": "", "streams": [], "params": []})",
        R"({"record": "zvr3parser_position", "type": 3, "position": 9, "length": 14})",
        R"({"record": "IDX_T", "time": 7, "value": 0, "bytes": "ab"})",
        R"({"record": "zvr3parser_position", "type": 4, "position": 23, "length": 7})",
        R"({"record": "DATA_T", "size": 3, "level": 0, "marked": false, "part": 3, "stream": 2, "time": 7000, "extra": 0, "bytes": 3, "sha1": "a9993e364706816aba3e25717850c26c9cd0d89d"})",
        R"({"record": "zvr3parser_combined_DATA_T", "size": 3, "level": 0, "marked": false, "part": 3, "stream": 2, "time": 7000, "extra": 0, "bytes": 3, "sha1": "a9993e364706816aba3e25717850c26c9cd0d89d"})",
    };
    QCOMPARE(lines(r.out), expected);
}

void tst_zvr3tool::recordThenScan()
{
    HDR_T header;
    header.streams = {{3, 4, "text", "", ""}};
    DATA_T text;
    text.stream = 3;
    text.part = 3;
    text.data = "door open";
    // Garbage before the header and a chunk header: neither is kept in the recording.
    const QByteArray stream = QByteArray("junk") + zvr3stream::encodeHeader(header) + zvr3stream::encodeChunkHeader({1, 2, 3, 4})
        + zvr3stream::encodeIndex({1000, 5, QByteArray()}) + zvr3stream::encodeData(text, false, 1000);
    const QString file = m_dir.filePath(QStringLiteral("stdin.zvr"));
    const zvr3test::ToolRun recorded = run({"record", "-", file}, stream);
    QCOMPARE(recorded.exitCode, 0);
    QVERIFY(recorded.out.isEmpty() && recorded.err.isEmpty());
    const zvr3test::ToolRun scanned = run({"scan", file});
    QCOMPARE(scanned.exitCode, 0);
    QCOMPARE(lines(scanned.out), QList<QByteArray>({
        R"({"record": "ZVR_ID3_REC", "type": 0, "count": 0, "position": 18, "time": 1000000, "pairs": [[0, 0], [0, 0], [0, 0], [0, 0], [0, 0], [0, 0]]})",
        R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": 1000000, "number": 1, "texts": [{"id": 3, "text": "door open"}]}]})"}));
}

// Each picture as a JSON line naming its size, format and the MD5 of its pixels, and as a PNG file.
void tst_zvr3tool::decodeVideo()
{
    const QString out = m_dir.filePath(QStringLiteral("decoded"));
    const zvr3test::ToolRun r = run({"decode", "--stream", "0", "--out", out, m_dir.filePath(QStringLiteral("recording.zvr"))});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(lines(r.out).size(), Frames);
    for (int i = 0; i < Frames; ++i) {
        const QJsonObject item = QJsonDocument::fromJson(lines(r.out).at(i)).object();
        QCOMPARE(item.value(QStringLiteral("time")).toInteger(), qint64(Start) * 1000 + 40 * i);
        const QImage png(out + QStringLiteral("/frame-%1.png").arg(i + 1, 6, 10, QLatin1Char('0')));
        QVERIFY2(zvr3testvideo::psnr(png, m_video.sources.at(i)) > 25, qPrintable(QString::number(i)));
        const QImage argb = png.convertToFormat(QImage::Format_ARGB32);
        QCryptographicHash md5(QCryptographicHash::Md5);
        for (int y = 0; y < argb.height(); ++y)
            md5.addData(QByteArrayView(reinterpret_cast<const char *>(argb.constScanLine(y)), 4 * argb.width()));
        const QString image = QStringLiteral(R"({"width": 176, "height": 144, "format": "ARGB32", "md5": "%1"})");
        QCOMPARE(QJsonDocument(item.value(QStringLiteral("value")).toObject().value(QStringLiteral("image")).toObject()),
                 QJsonDocument::fromJson(image.arg(QString::fromLatin1(md5.result().toHex())).toUtf8()));
    }
    QVERIFY(!QFile::exists(out + QStringLiteral("/frame-000006.png")));
}

// Every stream of the recording decoded into a directory of its own, with the content sent.
void tst_zvr3tool::checkFiles(const QString &out)
{
    for (int i = 0; i < Frames; ++i) {
        const QImage png(out + QStringLiteral("/stream-00/frame-%1.png").arg(i + 1, 6, 10, QLatin1Char('0')));
        QCOMPARE(png.size(), QSize(176, 144));
        QVERIFY2(zvr3testvideo::psnr(png, m_video.sources.at(i)) > 25, qPrintable(QString::number(i)));
    }
    QVERIFY(!QFile::exists(out + QStringLiteral("/stream-00/frame-000006.png")));
    QVERIFY(!QFile::exists(out + QStringLiteral("/stream-00/audio.wav")));
    const QByteArray wav = readAll(out + QStringLiteral("/stream-10/audio.wav"));
    QCOMPARE(wav.size(), 44 + Frames * 12);  // 6 samples of 16 bits per 3-byte record
    QVERIFY(wav.startsWith("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 24), 8000u);
    QCOMPARE(wav.mid(44, 12), QByteArray(reinterpret_cast<const char *>(Samples), 12));
    QCOMPARE(readAll(out + QStringLiteral("/stream-11/texts.txt")), QByteArray("hello 0\nhello 1\nhello 2\nhello 3\nhello 4\n"));
    const QList<QByteArray> positions = lines(readAll(out + QStringLiteral("/stream-12/positions.jsonl")));
    QCOMPARE(positions.size(), Frames);
    const QJsonObject position = QJsonDocument::fromJson(positions.last()).object();
    QCOMPARE(position.value(QStringLiteral("valid")).toBool(), true);
    QCOMPARE(position.value(QStringLiteral("latitude")).toDouble(), 48.1173);
}

void tst_zvr3tool::liveToFiles()
{
    const QString out = m_dir.filePath(QStringLiteral("live"));
    const QString file = m_dir.filePath(QStringLiteral("live.zvr"));
    const zvr3test::ToolRun r = run({"live", "--channels", "0,5", "--duration", "2", "--out", out, "--record", file,
                                     m_recorder.url(QStringLiteral("op"), QStringLiteral("pw")).toString()});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    // The recorder starts with channels 0 to 3: the others are dropped, 5 added.
    QCOMPARE(m_recorder.lastSession()->requests(),
             QList<QByteArray>({"STRIP_00", "STRIP_01", "STRIP_02", "STRIP_03", "UNSTRIP_01", "UNSTRIP_02", "UNSTRIP_03",
                                "STRIP_05"}));
    // The listing goes on as without the options; the recording holds the records sent.
    QCOMPARE(records(lines(r.out)), parsed(m_stream));
    QCOMPARE(parsed(readAll(file)), parsed(m_stream));
    checkFiles(out);
}

void tst_zvr3tool::archiveToFiles()
{
    const QString out = m_dir.filePath(QStringLiteral("archive"));
    const zvr3test::ToolRun r = run({"archive", "--start", "2023-11-14T22:13:20", "--channels", "1", "--duration", "2",
                                     "--pause-at", "0.2", "--resume-after", "0.5", "--out", out,
                                     m_recorder.url(QStringLiteral("op"), QStringLiteral("pw")).toString()});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(m_recorder.lastSession()->requests().mid(0, 2),
             QList<QByteArray>({"ENABLE_01", "GET_TIME_14/11/2023,22:13:20"}));
    QList<QByteArray> pauses;
    for (const QByteArray &line : lines(r.out)) {
        if (line.startsWith(R"({"record": "pause")"))
            pauses << line;
    }
    QCOMPARE(pauses, QList<QByteArray>({R"({"record": "pause", "paused": true})", R"({"record": "pause", "paused": false})"}));
    checkFiles(out);
}

void tst_zvr3tool::snapshotFile()
{
    const QString file = m_dir.filePath(QStringLiteral("shot.png"));
    const zvr3test::ToolRun r = run({"snapshot", m_recorder.url(QStringLiteral("op"), QStringLiteral("pw")).toString() + "?stream=2",
                                     "--out", file});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, R"({"record": "QImage", "description": "ok", "width": 64, "height": 48, "file": ")" + file.toUtf8() + "\"}\n");
    const QImage image(file);
    QCOMPARE(image.size(), QSize(64, 48));
    QVERIFY(qAbs(qBlue(image.pixel(32, 24)) - 255) < 8 && qRed(image.pixel(32, 24)) < 8);
}

QTEST_MAIN(tst_zvr3tool)
#include "tst_zvr3tool.moc"
