#include <QtTest>

#include "zvr3testutil.h"

#include <QImage>
#include <QTemporaryDir>

#include "zvr3fakerecorder.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

// zvr3 setup and zvr3 snapshot against the fake recorder, run as a user would run them.
class tst_zvr3tool_setup : public QObject
{
    Q_OBJECT
private slots:
    void setupAnswers();
    void setupRefused();
    void snapshot_data();
    void snapshot();
    void badUsage_data();
    void badUsage();

private:
    using Run = zvr3test::ToolRun;
    static Run run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        return zvr3test::runTool(QStringLiteral(ZVR3_TOOL), arguments, input);
    }
};

void tst_zvr3tool_setup::setupAnswers()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [](FakeSession *session, const QByteArray &line) {
        if (line == "GET name")
            session->send(zvr3fake::answerBlock("name=Gate \xd0\x9a\r\n"));
        else if (line == "GET bytes")
            session->send(zvr3fake::answerBlock(QByteArray("\xff\x00\x01", 3)));
        else
            session->send(zvr3fake::answerBlock("", "TRAL_ANSWER=ERROR\r\n"));
    };
    const Run r = run({"setup", recorder.url().toString(), "GET name", "GET bytes", "GET nothing\r\n"});
    QCOMPARE(r.exitCode, 1);  // one request was refused
    const QList<QByteArray> expected = {
        QByteArray("{\"record\": \"answer\", \"text\": \"name=Gate \xd0\x9a\\r\\n\"}"),
        R"({"record": "answer", "hex": "ff0001"})",
        R"({"record": "zvr3error", "code": -1, "text": "Device returns error"})",
    };
    QCOMPARE(r.out.trimmed().split('\n'), expected);
    QCOMPARE(recorder.lastSession()->requests(), (QList<QByteArray>{"GET name", "GET bytes", "GET nothing"}));
}

void tst_zvr3tool_setup::setupRefused()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::Refuse;
    const Run r = run({"setup", recorder.url().toString(), "GET name"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.trimmed(), QByteArray(R"({"record": "zvr3error", "code": -1, "text": "Access denied"})"));
}

void tst_zvr3tool_setup::snapshot_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QSize>("size");
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG");
    QTest::newRow("picture") << jpeg << QByteArray("ok") << QSize(64, 48);
    QTest::newRow("no signal") << QByteArray("-5:") << QByteArray("no signal") << QSize(320, 240);
}

void tst_zvr3tool_setup::snapshot()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, description);
    QFETCH(QSize, size);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [&](FakeSession *session, const QByteArray &) {
        QByteArray frame(4, '\0');
        qToLittleEndian<quint32>(quint32(payload.size()), frame.data());
        session->send(frame + payload);
        session->closeWhenSent();
    };
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("shot.png"));
    const Run r = run({"snapshot", recorder.url().toString() + "?stream=2", "--out", file});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.contains("\"description\": \"" + description + '"'), r.out.constData());
    QCOMPARE(QImage(file).size(), size);
    QCOMPARE(recorder.lastSession()->requests(), QList<QByteArray>{"GET_JPEG_STREAM 2 320 240 90 -1"});
}

void tst_zvr3tool_setup::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("setup without request") << QStringList{"setup", "tcp://h"} << QByteArray("at least one request");
    QTest::newRow("setup bad url") << QStringList{"setup", "tcp://", "GET"} << QByteArray("is not a recorder URL");
    QTest::newRow("snapshot without out") << QStringList{"snapshot", "tcp://h"} << QByteArray("--out FILE");
}

void tst_zvr3tool_setup::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains(message), r.err.constData());
}

QTEST_GUILESS_MAIN(tst_zvr3tool_setup)
#include "tst_zvr3tool_setup.moc"
