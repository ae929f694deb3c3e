#include <QtTest>

#include "netlog.h"
#include "zvr3command.h"
#include "zvr3events.h"
#include "zvr3events_priv.h"
#include "zvr3fakerecorder.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

namespace {
QVariant command(int code, const QVariant &data = QVariant())
{
    return zvr3value(zvr3command(code, data));
}

EVENTS_FILE_DATA_T ev(qint64 seconds, unsigned number, const QVector<PARAM_T> &texts)
{
    EVENTS_FILE_DATA_T e;
    e.time = seconds * 1000;
    e.number = number;
    e.texts = texts;
    return e;
}

QString listLine(const EVENTS_FILE_LIST_T &list)
{
    return QString::fromUtf8(zvr3jsonl::line(zvr3value(list)));
}

// A recorder that answers every event request with reply, in pieces of the given size.
void answerWith(FakeRecorder &recorder, const QByteArray &reply, int pieces = 0)
{
    recorder.onRequest = [reply, pieces](FakeSession *s, const QByteArray &line) {
        if (line.startsWith("GET_ALL_EVENTS_"))
            s->send(reply, pieces);
    };
}
}

class tst_zvr3events : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void requestLine_data();
    void requestLine();
    void replies_data();
    void replies();
    void wrongMagic();
    void queuedRequests();
    void openReplacesConnectingRequest();
    void failuresMidReply_data();
    void failuresMidReply();
    void hostileLengths();
};

void tst_zvr3events::requestLine_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("no period") << QString() << QByteArray("GET_ALL_EVENTS_01/01/1970,00:00:00,01/01/1970,00:00:00");
    QTest::newRow("from and to") << "from=20100305140709&to=20100306000000"
                                 << QByteArray("GET_ALL_EVENTS_05/03/2010,14:07:09,06/03/2010,00:00:00");
    QTest::newRow("28 characters") << "from=2010030514070920110102030405"
                                   << QByteArray("GET_ALL_EVENTS_05/03/2010,14:07:09/01/2011,02:03:04,05,"
                                                 "01/01/1970,00:00:00")
                                          .replace("09/01/2011,02:03:04,05,", "0902/01/2011,03:04:05,");
    QTest::newRow("10 characters") << "from=2010030514&to=x" << QByteArray("GET_ALL_EVENTS_2010030514,x");
    QTest::newRow("any 14 characters, decoded") << "to=abcdEFghIJkl%2Fn"
                                                << QByteArray("GET_ALL_EVENTS_01/01/1970,00:00:00,gh/EF/abcd,IJ:kl:/n");
}

void tst_zvr3events::requestLine()
{
    QFETCH(QString, query);
    QFETCH(QByteArray, expected);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3events node;
    node.slotData(command(2, recorder.url(QStringLiteral("op"), QStringLiteral("pw"), query)));
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 1);
    QCOMPARE(recorder.lastSession()->service(), 3);
    QCOMPARE(recorder.lastSession()->requests().at(0), expected);
}

void tst_zvr3events::replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty list") << zvr3test::hex("06E5E5E5 00000000 07E5E5E5") << listLine({});
    QTest::newRow("one record, literal")
        << zvr3test::hex("06E5E5E5 01000000 00000000 0C000000 01000000 02000000 01 05 6100 07E5E5E5")
        << listLine({ev(1, 2, {{5, QStringLiteral("a")}})});
    QTest::newRow("negative group count") << zvr3test::hex("06E5E5E5 FFFFFFFF 07E5E5E5") << listLine({});

    const EVENTS_FILE_DATA_T motion = ev(1267798029, 7, {{1, QStringLiteral("Motion")}, {2, QString::fromUtf8("Камера 2")}});
    const EVENTS_FILE_DATA_T empty = ev(1267798030, 8, {{3, QString()}});
    const EVENTS_FILE_DATA_T none = ev(1267798031, 9, {});
    const QByteArray groupA = zvr3stream::encodeEvent(motion) + zvr3stream::encodeEvent(none) + zvr3stream::encodeEvent(empty);
    const QByteArray reply = zvr3fake::eventListReply({groupA, QByteArray(), zvr3stream::encodeEvent(motion)});
    // Records without texts are left out; an empty text counts; an empty group adds nothing.
    QTest::newRow("groups") << reply << listLine({motion, empty, motion});

    // A record announcing more texts than its group holds stops at the group's end; the next
    // group starts where the length says.
    QByteArray cut = zvr3stream::encodeEvent(ev(5, 1, {{4, QStringLiteral("x")}}));
    cut[8] = 3;
    QTest::newRow("text count beyond group")
        << zvr3fake::eventListReply({cut, zvr3stream::encodeEvent(empty)})
        << listLine({ev(5, 1, {{4, QStringLiteral("x")}}), empty});
}

void tst_zvr3events::replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);
    for (int pieces : {0, 1, 5, 13}) {
        FakeRecorder recorder;
        QVERIFY(recorder.listen());
        answerWith(recorder, reply, pieces);
        zvr3events node;
        NodeLog log(&node);
        node.slotData(command(2, recorder.url()));
        node.slotData(command(1, QStringLiteral("done")));
        QTRY_COMPARE(log.lines.size(), 2);
        QCOMPARE(log.lines.at(0), expected);
        QCOMPARE(log.lines.at(1), QStringLiteral("marker done"));
        // One connection per request: closed once the list is in.
        QTRY_VERIFY(!recorder.lastSession()->isOpen());
    }
}

void tst_zvr3events::wrongMagic()
{
    zvr3net_priv::setWatchdogOverride(600);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.pieceDelay = 100;
    answerWith(recorder, zvr3test::hex("06E5E5E6 00000000 07E5E5E5 0000 0000"), 7);
    zvr3events node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url()));
    // 7 bytes: nothing yet; 14: wrong; the last 4: wrong again; then the watchdog.
    QTRY_COMPARE_WITH_TIMEOUT(log.lines, QStringList({"error -1 Wrong event file format", "error -1 Wrong event file format",
                                     "error -1 Network operation timeout"}), 5000);
}

void tst_zvr3events::queuedRequests()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    const QByteArray first = zvr3fake::eventListReply({zvr3stream::encodeEvent(ev(1, 1, {{1, QStringLiteral("a")}}))});
    const QByteArray second = zvr3fake::eventListReply({zvr3stream::encodeEvent(ev(2, 2, {{2, QStringLiteral("b")}}))});
    // The first reply is held back until the test has queued the second request.
    QPointer<FakeSession> waiting;
    recorder.onRequest = [&](FakeSession *s, const QByteArray &line) {
        if (line.endsWith("01/01/2011,00:00:00"))
            waiting = s;
        else
            s->send(second, 3);
    };
    zvr3events node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("to=20110101000000"))));
    node.slotData(command(1, QStringLiteral("m1")));
    node.slotData(command(3));
    node.slotData(command(0));
    QTRY_VERIFY(waiting);
    node.slotData(command(2, recorder.url()));
    node.slotData(command(1, QStringLiteral("m2")));
    waiting->send(first);
    QTRY_COMPARE(log.lines.size(), 4);
    QCOMPARE(log.lines, QStringList({listLine({ev(1, 1, {{1, QStringLiteral("a")}})}), "marker m1",
                                     listLine({ev(2, 2, {{2, QStringLiteral("b")}})}), "marker m2"}));
    QCOMPARE(recorder.sessionCount(), 2);
}

void tst_zvr3events::openReplacesConnectingRequest()
{
    FakeRecorder silent;
    QVERIFY(silent.listen());
    silent.loginMode = FakeRecorder::Silent;
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    answerWith(recorder, zvr3test::hex("06E5E5E5 00000000 07E5E5E5"));
    zvr3events node;
    NodeLog log(&node);
    node.slotData(command(2, silent.url()));
    QTRY_VERIFY(silent.lastSession() && silent.lastSession()->received().size() > 10);
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(log.lines, QStringList{listLine({})});
    QTRY_VERIFY(!silent.lastSession()->isOpen());
    QVERIFY(silent.lastSession()->requests().isEmpty());
}

void tst_zvr3events::failuresMidReply_data()
{
    QTest::addColumn<bool>("drop");
    QTest::newRow("recorder drops the connection") << true;
    QTest::newRow("recorder falls silent") << false;
}

void tst_zvr3events::failuresMidReply()
{
    QFETCH(bool, drop);
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    const QByteArray reply = zvr3fake::eventListReply({zvr3stream::encodeEvent(ev(1, 1, {{1, QStringLiteral("abc")}}))});
    recorder.onRequest = [&](FakeSession *s, const QByteArray &) {
        s->send(reply.left(20));
        if (drop)
            QTimer::singleShot(50, s, [s] { s->abort(); });
    };
    zvr3events node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url()));
    node.slotData(command(1, QStringLiteral("dropped with the request")));
    node.slotData(command(2, recorder.url(QStringLiteral("next"))));
    node.slotData(command(1, QStringLiteral("after next")));
    QTRY_VERIFY(!log.lines.isEmpty());
    QCOMPARE(log.lines.at(0), drop ? QStringLiteral("error 1 The remote host closed the connection")
                                   : QStringLiteral("error -1 Network operation timeout"));
    // The next request has been opened by the reset; it fails the same way, and its marker goes with it.
    QTRY_COMPARE(log.lines.size(), 2);
    QCOMPARE(log.lines.at(1), log.lines.at(0));
    QCOMPARE(recorder.sessionCount(), 2);
    QCOMPARE(recorder.sessions().at(1)->user(), QStringLiteral("next"));
}

void tst_zvr3events::hostileLengths()
{
    // Counts and lengths that promise far more than arrives only make the reader wait for it,
    // until the watchdog; nothing is allocated for them.
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    answerWith(recorder, zvr3test::hex("06E5E5E5 FFFFFF7F 00000000 F0FFFFFF 0102030405060708090a 07E5E5E5"), 3);
    zvr3events node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(log.lines, QStringList{"error -1 Network operation timeout"});
}

QTEST_GUILESS_MAIN(tst_zvr3events)
#include "tst_zvr3events.moc"
