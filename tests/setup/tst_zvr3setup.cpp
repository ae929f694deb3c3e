#include <QtTest>

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3fakerecorder.h"
#include "zvr3net_priv.h"
#include "zvr3setup.h"
#include "zvr3testutil.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

namespace {

// What the node emitted, as short texts: "data <bytes>", "error -1 <text>", "marker <text>".
QStringList describe(const QList<QVariant> &values)
{
    QStringList out;
    for (const QVariant &v : values) {
        if (v.metaType() == QMetaType::fromType<QByteArray>())
            out << QStringLiteral("data ") + QString::fromLatin1(v.toByteArray());
        else if (v.metaType() == QMetaType::fromType<zvr3error>())
            out << QStringLiteral("error %1 %2").arg(v.value<zvr3error>().code).arg(v.value<zvr3error>().text);
        else
            out << QStringLiteral("marker ") + v.toString();
    }
    return out;
}

QVariant cmd(int code, const QVariant &data = QVariant())
{
    return QVariant::fromValue(zvr3command(code, data));
}

} // namespace

class tst_zvr3setup : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void answers_data();
    void answers();
    void queueOrder();
    void requestsWithoutConnection();
    void reconnectKeepsQueuedRequests();
    void garbageRepeatsUntilTimeout();
    void refusedLoginDropsQueue();
};

void tst_zvr3setup::answers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<QStringList>("expected");
    const QByteArray block = zvr3fake::answerBlock("name=value\r\n");
    QTest::newRow("empty answer") << QByteArray("LENGTH=16\r\nTRAL_ANSWER=OK\r\n") << 0 << QStringList{"data "};
    QTest::newRow("whole") << block << 0 << QStringList{"data name=value\r\n"};
    QTest::newRow("one byte at a time") << block << 1 << QStringList{"data name=value\r\n"};
    QTest::newRow("7-byte pieces") << block << 7 << QStringList{"data name=value\r\n"};
    QTest::newRow("refusal") << zvr3fake::answerBlock("", "TRAL_ANSWER=ERROR bad name\r\n") << 0
                             << QStringList{"error -1 Device returns error"};
    QTest::newRow("missing trailer") << QByteArray("LENGTH=5\r\nabc\r\n") << 0
                                     << QStringList{"error -1 Device data protocol error"};
    QTest::newRow("other trailer") << QByteArray("LENGTH=18\r\nTRAL_ANSWER=MAYBE\r\n") << 0
                                   << QStringList{"error -1 Device data protocol error"};
    // A length that is no number reads as 0: the length line alone is a block, and its trailer is the
    // one that follows it in the buffer.
    QTest::newRow("non-numeric length") << QByteArray("LENGTH=1x\r\nTRAL_ANSWER=OK\r\n") << 0 << QStringList{"data "};
}

void tst_zvr3setup::answers()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, chunkSize);
    QFETCH(QStringList, expected);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [&](FakeSession *session, const QByteArray &) { session->send(reply, chunkSize); };
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("GET name\r\n")));
    setup.slotData(cmd(1, QStringLiteral("done")));
    expected << QStringLiteral("marker done");
    QTRY_COMPARE(describe(out.values), expected);
    QCOMPARE(recorder.lastSession()->service(), 4);
    QCOMPARE(recorder.lastSession()->requests(), QList<QByteArray>{"GET name"});
}

void tst_zvr3setup::queueOrder()
{
    // 2, 8, 1, 8, 3 sent at once: each request after the previous answer, the marker between the
    // answers, the disconnect last; nothing is emitted from inside the sending calls.
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    int answered = 0;
    recorder.onRequest = [&](FakeSession *session, const QByteArray &line) {
        // The second request may only come once the first has been answered.
        QCOMPARE(session->requests().size(), answered + 1);
        ++answered;
        session->send(zvr3fake::answerBlock("re:" + line + "\r\n"));
    };
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("A\r\n")));
    setup.slotData(cmd(1, QStringLiteral("between")));
    setup.slotData(cmd(8, QByteArray("B\r\n")));
    setup.slotData(cmd(3));
    setup.slotData(cmd(1, QStringLiteral("end")));
    QVERIFY(out.values.isEmpty());
    QTRY_COMPARE(describe(out.values),
                 (QStringList{"data re:A\r\n", "marker between", "data re:B\r\n", "marker end"}));
    QTRY_VERIFY(!recorder.lastSession()->isOpen());
    QCOMPARE(recorder.sessionCount(), 1);
    QCOMPARE(recorder.lastSession()->requests(), (QList<QByteArray>{"A", "B"}));
}

void tst_zvr3setup::requestsWithoutConnection()
{
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(8, QByteArray("lost\r\n")));
    setup.slotData(cmd(3));
    setup.slotData(cmd(5, QByteArray("unknown code")));
    setup.slotData(QVariant(42));
    setup.slotData(cmd(1, QStringLiteral("only this")));
    QTRY_COMPARE(describe(out.values), QStringList{"marker only this"});
}

void tst_zvr3setup::reconnectKeepsQueuedRequests()
{
    // A second code 2 while connected replaces the connection; the request behind it goes out on
    // the new connection after its login.
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [&](FakeSession *session, const QByteArray &line) { session->send(zvr3fake::answerBlock(line)); };
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("first\r\n")));
    QTRY_COMPARE(out.values.size(), 1);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("second\r\n")));
    QTRY_COMPARE(describe(out.values), (QStringList{"data first", "data second"}));
    QCOMPARE(recorder.sessionCount(), 2);
    QCOMPARE(recorder.sessions().at(1)->requests(), QList<QByteArray>{"second"});
}

void tst_zvr3setup::garbageRepeatsUntilTimeout()
{
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [&](FakeSession *session, const QByteArray &) {
        session->send("HTTP/1.0 400 Bad Request\r\n", 10);  // three pieces, each a protocol error
    };
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("x\r\n")));
    setup.slotData(cmd(8, QByteArray("dropped\r\n")));
    QTRY_VERIFY(describe(out.values).contains(QStringLiteral("error -1 Network operation timeout")));
    const QStringList seen = describe(out.values);
    // Every piece that arrives repeats the error (how many reads the pieces take is up to the socket).
    QVERIFY(seen.count(QStringLiteral("error -1 Device data protocol error")) >= 1);
    QCOMPARE(seen.count(QStringLiteral("error -1 Device data protocol error")), seen.size() - 1);
    QCOMPARE(seen.last(), QStringLiteral("error -1 Network operation timeout"));
    QCOMPARE(recorder.lastSession()->requests(), QList<QByteArray>{"x"});
}

void tst_zvr3setup::refusedLoginDropsQueue()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::Refuse;
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(cmd(2, recorder.url()));
    setup.slotData(cmd(8, QByteArray("x\r\n")));
    setup.slotData(cmd(1, QStringLiteral("dropped")));
    QTRY_COMPARE(describe(out.values), QStringList{"error -1 Access denied"});
    // The dropped marker must not turn up later: a new one comes right after the error.
    setup.slotData(cmd(1, QStringLiteral("after")));
    QTRY_COMPARE(describe(out.values), (QStringList{"error -1 Access denied", "marker after"}));
}

QTEST_GUILESS_MAIN(tst_zvr3setup)
#include "tst_zvr3setup.moc"
