#include <QtTest>

#include "zvr3testutil.h"

#include "zvr3streamwriter.h"

// Runs `zvr3 record` and `zvr3 scan` as a user would and checks what they print and how they exit.
class tst_zvr3tool_archive : public QObject
{
    Q_OBJECT
private slots:
    void recordFromStandardInputThenScan();
    void recordSampleThenScan();
    void failures_data();
    void failures();

private:
    using Run = zvr3test::ToolRun;
    static Run run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        return zvr3test::runTool(QStringLiteral(ZVR3_TOOL), arguments, input);
    }
    QTemporaryDir dir;
};


void tst_zvr3tool_archive::recordFromStandardInputThenScan()
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
    const QString output = dir.filePath(QStringLiteral("stdin.zvr"));
    const Run recorded = run({"record", "-", output}, stream);
    QCOMPARE(recorded.exitCode, 0);
    QVERIFY(recorded.out.isEmpty());
    QVERIFY(recorded.err.isEmpty());

    const Run scanned = run({"scan", output});
    QCOMPARE(scanned.exitCode, 0);
    QVERIFY(scanned.err.isEmpty());
    const QList<QByteArray> expected = {
        R"({"record": "ZVR_ID3_REC", "type": 0, "count": 0, "position": 18, "time": 1000000, "pairs": [[0, 0], [0, 0], [0, 0], [0, 0], [0, 0], [0, 0]]})",
        R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": 1000000, "number": 1, "texts": [{"id": 3, "text": "door open"}]}]})",
    };
    QCOMPARE(scanned.out.trimmed().split('\n'), expected);
}

void tst_zvr3tool_archive::recordSampleThenScan()
{
    const QString output = dir.filePath(QStringLiteral("sample.zvr"));
    const Run recorded = run({"record", QStringLiteral(ZVR3_SAMPLES "/sample.zvr"), output});
    QCOMPARE(recorded.exitCode, 0);
    // The recording probes as the same records, chunk headers and positions aside.
    auto records = [](const QByteArray &out) {
        QList<QByteArray> kept;
        for (const QByteArray &line : out.split('\n')) {
            if (!line.contains("zvr3parser_position") && !line.contains("ARCHIVE_T_HDR"))
                kept.append(line);
        }
        return kept;
    };
    const Run original = run({"probe", QStringLiteral(ZVR3_SAMPLES "/sample.zvr")});
    const Run copy = run({"probe", output});
    QCOMPARE(records(copy.out), records(original.out));

    const Run scanned = run({"scan", output});
    QCOMPARE(scanned.exitCode, 0);
    const QList<QByteArray> lines = scanned.out.trimmed().split('\n');
    QCOMPARE(lines.size(), int(original.out.count("\"record\": \"IDX_T\"")) + 1);
    for (const QByteArray &line : lines) {
        QJsonParseError error;
        QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
    }
    QVERIFY(lines.first().startsWith(R"({"record": "ZVR_ID3_REC")"));
    QVERIFY(lines.last().startsWith(R"({"record": "EVENTS_FILE_LIST_T", "events": [{"time": )"));
}

void tst_zvr3tool_archive::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::newRow("scan: missing file") << QStringList{"scan", "/nonexistent/a.zvr"} << 1
        << QByteArray(R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \"/nonexistent/a.zvr\". No such file or directory (5)"})x" "\n")
        << QByteArray();
    QTest::newRow("record: output can't be opened") << QStringList{"record", "-", "/nonexistent/b.zvr"} << 1
        << QByteArray(R"x({"record": "zvr3error", "code": -1, "text": "Can't open file \"/nonexistent/b.zvr\". No such file or directory (5)"})x" "\n")
        << QByteArray();
    QTest::newRow("record: missing input") << QStringList{"record", "/nonexistent/c.zvr", "x"} << 1 << QByteArray()
                                           << QByteArray("can't open '/nonexistent/c.zvr'");
    QTest::newRow("scan: no file") << QStringList{"scan"} << 2 << QByteArray() << QByteArray("give one archive file");
    QTest::newRow("record: no output") << QStringList{"record", "-"} << 2 << QByteArray() << QByteArray("give an input");
}

void tst_zvr3tool_archive::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    const Run r = run(arguments, QByteArray("no stream here"));
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out, out);
    QVERIFY2(err.isEmpty() ? r.err.isEmpty() : r.err.contains(err), r.err.constData());
}

QTEST_GUILESS_MAIN(tst_zvr3tool_archive)
#include "tst_zvr3tool_archive.moc"
