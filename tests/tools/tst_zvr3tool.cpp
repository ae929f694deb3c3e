#include <QtTest>

#include "zvr3testutil.h"

#include "zvr3streamwriter.h"

// Runs the zvr3 tool as a user would and checks what it prints and how it exits.
class tst_zvr3tool : public QObject
{
    Q_OBJECT
private slots:
    void probeFormats_data();
    void probeFormats();
    void probeChunkSizes();
    void probeReadsStandardInput();
    void badUsage_data();
    void badUsage();

private:
    using Run = zvr3test::ToolRun;
    static Run run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        return zvr3test::runTool(QStringLiteral(ZVR3_TOOL), arguments, input);
    }
};


void tst_zvr3tool::probeFormats_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("firstLine");
    QTest::addColumn<int>("lines");
    QTest::newRow("index") << "index" << "sample.id3"
                           << QByteArray(R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})") << 6;
    QTest::newRow("events") << "events" << "sample.evt"
                            << QByteArray(R"({"record": "zvr3parser_position", "type": 6, "position": 0, "length": 28})") << 6;
    QTest::newRow("stream") << "stream" << "sample.zvr"
                            << QByteArray(R"({"record": "zvr3parser_position", "type": 7, "position": 0, "length": 0})") << -1;
}

void tst_zvr3tool::probeFormats()
{
    QFETCH(QString, format);
    QFETCH(QString, file);
    QFETCH(QByteArray, firstLine);
    QFETCH(int, lines);
    const Run r = run({"probe", "--format", format, QStringLiteral(ZVR3_SAMPLES "/") + file});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.isEmpty());
    const QList<QByteArray> out = r.out.trimmed().split('\n');
    QCOMPARE(out.first(), firstLine);
    if (lines >= 0)
        QCOMPARE(out.size(), lines);
    for (const QByteArray &line : out) {
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError && json.isObject(), line.constData());
    }
}

void tst_zvr3tool::probeChunkSizes()
{
    const QString file = QStringLiteral(ZVR3_SAMPLES "/sample.zvr");
    const Run big = run({"probe", file});
    const Run small = run({"probe", "--chunk-size", "1000", file});
    QCOMPARE(big.exitCode, 0);
    QCOMPARE(small.exitCode, 0);
    auto records = [](const QByteArray &out) {
        QList<QByteArray> kept;
        for (const QByteArray &line : out.split('\n')) {
            if (!line.contains(R"("type": 7)"))
                kept.append(line);
        }
        return kept;
    };
    QCOMPARE(records(small.out), records(big.out));
    QVERIFY(big.out.contains(R"("record": "zvr3parser_combined_DATA_T")"));
    QVERIFY(big.out.contains(R"("codec": "ima1")"));
}

void tst_zvr3tool::probeReadsStandardInput()
{
    DATA_T record;
    record.stream = 2;
    record.part = 3;
    record.data = "abc";
    const QByteArray stream = zvr3stream::encodeHeader(HDR_T()) + zvr3stream::encodeIndex({7, 0, "\xab"})
        + zvr3stream::encodeData(record, false, 7);
    const Run r = run({"probe", "-"}, stream);
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
    QCOMPARE(r.out.trimmed().split('\n'), expected);
}

void tst_zvr3tool::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no command") << QStringList() << 2 << QByteArray("Usage: zvr3");
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << QByteArray("unknown command 'frobnicate'");
    QTest::newRow("no file") << QStringList{"probe"} << 2 << QByteArray("give one input file");
    QTest::newRow("bad format") << QStringList{"probe", "--format", "mp3", "x"} << 2 << QByteArray("--format is stream");
    QTest::newRow("bad chunk size") << QStringList{"probe", "--chunk-size", "0", "x"} << 2 << QByteArray("--chunk-size");
    QTest::newRow("missing file") << QStringList{"probe", "/nonexistent/file"} << 1 << QByteArray("can't open '/nonexistent/file'");
}

void tst_zvr3tool::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY(r.out.isEmpty());
}

QTEST_GUILESS_MAIN(tst_zvr3tool)
#include "tst_zvr3tool.moc"
