#include <QtTest>

#include "zvr3error.h"
#include "zvr3fakerecorder.h"
#include "zvr3net_priv.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

// What a connection reports, in order, as short texts: "state 2", "error -1 Access denied",
// "data <bytes>".
class Log
{
public:
    explicit Log(zvr3net_priv *net)
    {
        QObject::connect(net, &zvr3net_priv::sigState, &context, [this](int s) { lines << QStringLiteral("state %1").arg(s); });
        QObject::connect(net, &zvr3net_priv::sigError, &context, [this](const QVariant &v) {
            const zvr3error e = v.value<zvr3error>();
            lines << QStringLiteral("error %1 %2").arg(e.code).arg(e.text);
        });
        QObject::connect(net, &zvr3net_priv::sigData, &context,
                         [this](const QByteArray &a) { lines << QStringLiteral("data ") + QString::fromLatin1(a); });
    }
    QStringList lines;
    QObject context;  // the log may go before the connection
};

class tst_zvr3net_priv : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void loginBytes_data();
    void loginBytes();
    void defaultPort();
    void answerChunking_data();
    void answerChunking();
    void failedLogin_data();
    void failedLogin();
    void answerRestartsWatchdog();
    void queuedRequestsAfterStateHandler();
    void socketErrors();
    void unexpectedData_data();
    void unexpectedData();
    void closeWithoutSocketIsSilent();
    void reopenClosesOldFirst();
    void reopenFromErrorHandler_data();
    void reopenFromErrorHandler();
    void neverConnectedSocketIsDeleted();
};

void tst_zvr3net_priv::loginBytes_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("service");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("plain") << "admin" << "secret" << 2
                           << QByteArray("\x02LOGIN=admin\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n");
    QTest::newRow("empty password") << "admin" << "" << 1
                                    << QByteArray("\x01LOGIN=admin\r\nPASS=d41d8cd98f00b204e9800998ecf8427e\r\n");
    QTest::newRow("empty user") << "" << "secret" << 3
                                << QByteArray("\x03LOGIN=\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n");
    QTest::newRow("utf-8 user, escaped password")
        << QString::fromUtf8("опер") << "p@ss word" << 6
        << QByteArray("\x06LOGIN=") + QString::fromUtf8("опер").toUtf8() + "\r\nPASS="
               + QCryptographicHash::hash("p@ss word", QCryptographicHash::Md5).toHex() + "\r\n";
    QTest::newRow("service low byte") << "u" << "p" << 0x104
                                      << QByteArray("\x04LOGIN=u\r\nPASS=83878c91171338902e0fe0fb97a8c47a\r\n");
}

void tst_zvr3net_priv::loginBytes()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, service);
    QFETCH(QByteArray, expected);

    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.checkLogin = true;
    recorder.expectedUser = user;
    recorder.expectedPassword = password;
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(user, password), service);
    QCOMPARE(net.currentState(), 0);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
    QCOMPARE(recorder.lastSession()->received(), expected);
}

void tst_zvr3net_priv::defaultPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, zvr3net_priv::DefaultPort))
        QSKIP("port 5049 is taken on this machine");
    zvr3net_priv net;
    QUrl url(QStringLiteral("tcp://u:p@127.0.0.1"));
    net.open(url, 1);
    QVERIFY(server.waitForNewConnection(10000));
}

void tst_zvr3net_priv::answerChunking_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("one write") << 0 << QByteArray();
    QTest::newRow("10+10+7") << 10 << QByteArray();
    QTest::newRow("one byte at a time") << 1 << QByteArray();
    QTest::newRow("answer with service bytes") << 0 << QByteArray("STREAM");
}

void tst_zvr3net_priv::answerChunking()
{
    QFETCH(int, pieces);
    QFETCH(QByteArray, after);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginChunkSize = pieces;
    recorder.afterLogin = after;
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(), 2);
    QStringList expected{"state 1", "state 2"};
    if (!after.isEmpty())
        expected << QStringLiteral("data ") + QString::fromLatin1(after);
    QTRY_COMPARE(log.lines, expected);
    QCOMPARE(net.currentState(), 2);
}

void tst_zvr3net_priv::failedLogin_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("refused") << int(FakeRecorder::Refuse) << QByteArray()
                             << QStringList{"state 1", "error -1 Access denied", "state 3"};
    QTest::newRow("refused in pieces") << int(FakeRecorder::Refuse) << QByteArray("3")
                                       << QStringList{"state 1", "error -1 Access denied", "state 3"};
    QTest::newRow("32 bytes of garbage")
        << int(FakeRecorder::Garbage) << QByteArray(32, 'x')
        << QStringList{"state 1", "error -2 Unexpected authorization reply received", "state 3"};
    QTest::newRow("answer with a wrong length")
        << int(FakeRecorder::Garbage) << QByteArray("LENGTH=17\r\nTRAL_ANSWER=OK\r\n\r\nxyz")
        << QStringList{"state 1", "error -2 Unexpected authorization reply received", "state 3"};
    // 31 bytes cannot be judged yet: only the watchdog ends the wait.
    QTest::newRow("31 bytes of garbage") << int(FakeRecorder::Garbage) << QByteArray(31, 'x')
                                         << QStringList{"state 1", "error -1 Network operation timeout", "state 3"};
    QTest::newRow("silent") << int(FakeRecorder::Silent) << QByteArray()
                            << QStringList{"state 1", "error -1 Network operation timeout", "state 3"};
}

void tst_zvr3net_priv::failedLogin()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::LoginMode(mode);
    if (reply == "3")
        recorder.loginChunkSize = 3;
    else if (!reply.isEmpty())
        recorder.loginReply = reply;
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(), 1);
    QTRY_COMPARE(log.lines, expected);
    QCOMPARE(net.currentState(), 3);
    QTRY_VERIFY(!recorder.lastSession()->isOpen());
}

void tst_zvr3net_priv::answerRestartsWatchdog()
{
    // Each piece of the answer restarts the watchdog: an answer trickling in more slowly in
    // total than the watchdog allows still succeeds.
    zvr3net_priv::setWatchdogOverride(400);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginChunkSize = 5;   // 6 pieces, 150 ms apart
    recorder.pieceDelay = 150;
    zvr3net_priv net;
    Log log(&net);
    QElapsedTimer clock;
    clock.start();
    net.open(recorder.url(), 1);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
    QVERIFY(clock.elapsed() > 600);
}

void tst_zvr3net_priv::queuedRequestsAfterStateHandler()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.afterLogin = "TAIL";
    QByteArray raw;
    recorder.onBytes = [&raw](FakeSession *, const QByteArray &bytes) { raw += bytes; };
    QStringList order;
    zvr3net_priv net;
    connect(&net, &zvr3net_priv::sigState, &net, [&](int s) {
        order << QStringLiteral("state %1").arg(s);
        if (s == 2)
            net.slotData("FROM_HANDLER\r\n");
    });
    connect(&net, &zvr3net_priv::sigData, &net, [&](const QByteArray &a) { order << QString::fromLatin1(a); });
    net.open(recorder.url(), 1);
    net.slotData("FIRST\r\n");
    net.slotData("SECOND\r\n");
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 3);
    QCOMPARE(recorder.lastSession()->requests(), QList<QByteArray>({"FROM_HANDLER", "FIRST", "SECOND"}));
    QCOMPARE(order, QStringList({"state 1", "state 2", "TAIL"}));

    // Logged in: written at once, and what the recorder sends comes out as it arrived.
    net.slotData("THIRD\r\n");
    QTRY_COMPARE(recorder.lastSession()->requests().size(), 4);
    QCOMPARE(raw, QByteArray("FROM_HANDLER\r\nFIRST\r\nSECOND\r\nTHIRD\r\n"));
    recorder.lastSession()->send("ABCDEF");
    QTRY_COMPARE(order.size(), 4);
    QCOMPARE(order.last(), QStringLiteral("ABCDEF"));
}

void tst_zvr3net_priv::socketErrors()
{
    // Nobody listening: the socket's own error number and text, then state 3.
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    zvr3net_priv net;
    Log log(&net);
    net.open(QUrl(QStringLiteral("tcp://u:p@127.0.0.1:%1").arg(port)), 1);
    QTRY_COMPARE(log.lines.size(), 2);
    QVERIFY2(log.lines.at(0).startsWith(QStringLiteral("error %1 ").arg(int(QAbstractSocket::ConnectionRefusedError))),
             qPrintable(log.lines.at(0)));
    QCOMPARE(log.lines.at(1), QStringLiteral("state 3"));

    // The recorder drops a logged-in connection.
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    log.lines.clear();
    net.open(recorder.url(), 1);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
    recorder.lastSession()->abort();
    QTRY_COMPARE(log.lines.size(), 4);
    QCOMPARE(log.lines.at(2), QStringLiteral("error %1 The remote host closed the connection")
                                  .arg(int(QAbstractSocket::RemoteHostClosedError)));
    QCOMPARE(log.lines.at(3), QStringLiteral("state 3"));
    QCOMPARE(net.currentState(), 3);

    // No host at all.
    log.lines.clear();
    net.open(QUrl(QStringLiteral("tcp://u:p@:1")), 1);
    QTRY_COMPARE(log.lines.size(), 2);
    QVERIFY2(log.lines.at(0).startsWith(QLatin1String("error ")), qPrintable(log.lines.at(0)));
    QCOMPARE(log.lines.at(1), QStringLiteral("state 3"));
}

void tst_zvr3net_priv::unexpectedData_data()
{
    QTest::addColumn<int>("state");
    QTest::newRow("state 0") << 0;
    QTest::newRow("state 3") << 3;
}

void tst_zvr3net_priv::unexpectedData()
{
    // Bytes can only arrive in these states if the state machine and the socket disagree; the
    // state is forced here to see that such bytes are reported and the connection dropped.
    QFETCH(int, state);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(), 1);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
    net.state = state;
    recorder.lastSession()->send("BYTES");
    QTRY_COMPARE(log.lines.size(), 4);
    QCOMPARE(log.lines.at(2), QStringLiteral("error -3 Unexpected data received in state #%1").arg(state));
    QCOMPARE(log.lines.at(3), QStringLiteral("state 3"));
    QTRY_VERIFY(!recorder.lastSession()->isOpen());
}

void tst_zvr3net_priv::closeWithoutSocketIsSilent()
{
    zvr3net_priv net;
    Log log(&net);
    net.close();
    net.close();
    QVERIFY(log.lines.isEmpty());
}

void tst_zvr3net_priv::reopenClosesOldFirst()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(), 1);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
    net.slotData("OLD\r\n");
    net.open(recorder.url(QStringLiteral("second")), 2);
    QCOMPARE(log.lines, QStringList({"state 1", "state 2", "state 3"}));
    QCOMPARE(net.currentState(), 0);
    QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2", "state 3", "state 1", "state 2"}));
    QCOMPARE(recorder.sessionCount(), 2);
    QTRY_VERIFY(!recorder.sessions().at(0)->isOpen());
    // The request given to the old connection went out on it before it closed.
    QCOMPARE(recorder.sessions().at(0)->requests(), QList<QByteArray>{"OLD"});
    QCOMPARE(recorder.sessions().at(1)->user(), QStringLiteral("second"));
    QCOMPARE(recorder.sessions().at(1)->service(), 2);
}

void tst_zvr3net_priv::reopenFromErrorHandler_data()
{
    QTest::addColumn<int>("failure");
    QTest::newRow("socket error") << 0;
    QTest::newRow("watchdog") << 1;
    QTest::newRow("refusal") << 2;
}

void tst_zvr3net_priv::reopenFromErrorHandler()
{
    // An owner that opens a new connection while it handles an error keeps it: the closing
    // step after the error acts on the failed socket only.
    QFETCH(int, failure);
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder bad;
    QVERIFY(bad.listen());
    FakeRecorder good;
    QVERIFY(good.listen());
    if (failure == 1)
        bad.loginMode = FakeRecorder::Silent;
    if (failure == 2)
        bad.loginMode = FakeRecorder::Refuse;
    bool reopened = false;
    zvr3net_priv net;
    Log log(&net);
    connect(&net, &zvr3net_priv::sigError, &net, [&] {
        if (!reopened) {
            reopened = true;
            net.open(good.url(), 1);
        }
    });
    net.open(bad.url(), 1);
    if (failure == 0) {
        QTRY_COMPARE(log.lines, QStringList({"state 1", "state 2"}));
        bad.lastSession()->abort();
    }
    QTRY_VERIFY(reopened);
    QTRY_COMPARE(net.currentState(), 2);
    QCOMPARE(log.lines.last(), QStringLiteral("state 2"));
    QCOMPARE(good.sessionCount(), 1);
    QVERIFY(good.lastSession()->isOpen());
    QTRY_VERIFY(!bad.lastSession()->isOpen());
}

void tst_zvr3net_priv::neverConnectedSocketIsDeleted()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3net_priv net;
    Log log(&net);
    net.open(recorder.url(), 1);
    QPointer<QTcpSocket> socket = net.socket;
    QVERIFY(socket);
    net.close();  // still connecting
    QCOMPARE(log.lines, QStringList{"state 3"});
    QTRY_VERIFY(socket.isNull());
}

QTEST_GUILESS_MAIN(tst_zvr3net_priv)
#include "tst_zvr3net_priv.moc"
