#include "nettest.h"

class tst_zvr3net_priv : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }

    void login_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("service");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("plain") << "admin" << "secret" << 2 << QByteArray("\x02LOGIN=admin\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n");
        QTest::newRow("empty password") << "admin" << "" << 1 << QByteArray("\x01LOGIN=admin\r\nPASS=d41d8cd98f00b204e9800998ecf8427e\r\n");
        QTest::newRow("empty user") << "" << "secret" << 3 << QByteArray("\x03LOGIN=\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n");
        QTest::newRow("utf-8 user, escaped password")
            << QString::fromUtf8("опер") << "p@ss word" << 6
            << QByteArray("\x06LOGIN=\xd0\xbe\xd0\xbf\xd0\xb5\xd1\x80\r\nPASS=b9b86dad668f10fa8e4a1c4b29d104b3\r\n");
        QTest::newRow("service low byte") << "u" << "p" << 0x104 << QByteArray("\x04LOGIN=u\r\nPASS=83878c91171338902e0fe0fb97a8c47a\r\n");
    }
    void login()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, service);
        QFETCH(QByteArray, wire);
        Rig<zvr3net_priv> r;
        r.recorder.checkLogin = true;
        r.recorder.expectedUser = user;
        r.recorder.expectedPassword = password;
        r.node.open(r.recorder.url(user, password), service);
        QCOMPARE(r.node.currentState(), 0);
        QTRY_COMPARE(r.log.lines, QStringList({"state 1", "state 2"}));
        QCOMPARE(r.recorder.lastSession()->received(), wire);
    }

    void defaultPort()
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, zvr3net_priv::DefaultPort))
            QSKIP("port 5049 is taken on this machine");
        zvr3net_priv net;
        net.open(QUrl(QStringLiteral("tcp://u:p@127.0.0.1")), 1);
        QVERIFY(server.waitForNewConnection(10000));
    }

    void loginAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("delay");  // between two pieces
        QTest::addColumn<QStringList>("expected");
        const QByteArray ok = zvr3fake::loginOk();
        const QStringList in{"state 1", "state 2"};
        auto failed = [](const char *error) { return QStringList{"state 1", error, "state 3"}; };
        QTest::newRow("accepted") << ok << 0 << 0 << in;
        QTest::newRow("accepted byte by byte") << ok << 1 << 0 << in;
        QTest::newRow("accepted in 10+10+7") << ok << 10 << 0 << in;
        QTest::newRow("accepted with stream bytes") << ok + "STREAM" << 0 << 0 << in + QStringList{"data STREAM"};
        // Each piece restarts the watchdog: 6 pieces 150 ms apart outlast a 400 ms watchdog.
        QTest::newRow("accepted slowly") << ok << 5 << 150 << in;
        QTest::newRow("refused") << zvr3fake::loginRefused() << 0 << 0 << failed("error -1 Access denied");
        QTest::newRow("refused in pieces") << zvr3fake::loginRefused() << 3 << 0 << failed("error -1 Access denied");
        QTest::newRow("32 bytes of garbage") << QByteArray(32, 'x') << 0 << 0
                                             << failed("error -2 Unexpected authorization reply received");
        QTest::newRow("wrong length") << QByteArray("LENGTH=17\r\nTRAL_ANSWER=OK\r\n\r\nxyz") << 0 << 0
                                      << failed("error -2 Unexpected authorization reply received");
        // 31 bytes cannot be judged yet: only the watchdog ends the wait.
        QTest::newRow("31 bytes of garbage") << QByteArray(31, 'x') << 0 << 0 << failed("error -1 Network operation timeout");
        QTest::newRow("silent") << QByteArray() << 0 << 0 << failed("error -1 Network operation timeout");
    }
    void loginAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, pieces);
        QFETCH(int, delay);
        QFETCH(QStringList, expected);
        zvr3net_priv::setWatchdogOverride(400);
        Rig<zvr3net_priv> r(FakeRecorder::Garbage);  // its "garbage" is the answer of the row
        r.recorder.loginReply = answer;
        r.recorder.loginChunkSize = pieces;
        r.recorder.pieceDelay = delay;
        QElapsedTimer clock;
        clock.start();
        r.node.open(r.recorder.url(), 1);
        QTRY_COMPARE(r.log.lines, expected);
        QVERIFY(clock.elapsed() >= 4 * delay);
        QCOMPARE(r.node.currentState(), expected.at(1) == QLatin1String("state 2") ? 2 : 3);
        QTRY_COMPARE(r.recorder.lastSession()->isOpen(), r.node.currentState() == 2);
    }

    void connectionFailures_data()
    {
        QTest::addColumn<QString>("url");  // none: the fake r.recorder, which accepts the login
        QTest::addColumn<int>("forced");  // then: -1 it drops the connection; else bytes arrive in this state
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nobody listening") << "tcp://u:p@127.0.0.1:1" << -1 << QStringList{"error 0 Connection refused", "state 3"};
        QTest::newRow("no host") << "tcp://u:p@:1" << -1 << QStringList{"error 2 Host not found", "state 3"};
        const QStringList in{"state 1", "state 2"};
        QTest::newRow("dropped") << QString() << -1 << in + QStringList{"error 1 The remote host closed the connection", "state 3"};
        QTest::newRow("data in state 0") << QString() << 0 << in + QStringList{"error -3 Unexpected data received in state #0", "state 3"};
        QTest::newRow("data in state 3") << QString() << 3 << in + QStringList{"error -3 Unexpected data received in state #3", "state 3"};
    }
    void connectionFailures()
    {
        QFETCH(QString, url);
        QFETCH(int, forced);
        QFETCH(QStringList, expected);
        Rig<zvr3net_priv> r;
        r.node.open(url.isEmpty() ? r.recorder.url() : QUrl(url), 1);
        if (url.isEmpty()) {
            QTRY_COMPARE(r.log.lines.size(), 2);
            // Bytes can only arrive in states 0 and 3 if the state machine and the socket disagree;
            // the state is forced to see that they are reported and the connection dropped.
            if (forced < 0) {
                r.recorder.lastSession()->abort();
            } else {
                r.node.state = forced;
                r.recorder.lastSession()->send("BYTES");
            }
            QTRY_VERIFY(!r.recorder.lastSession()->isOpen());
        }
        QTRY_COMPARE(r.log.lines, expected);
        QCOMPARE(r.node.currentState(), 3);
    }

    void closeWhileConnecting()
    {
        Rig<zvr3net_priv> r;
        r.node.close();  // nothing open: nothing to report
        r.node.open(r.recorder.url(), 1);
        QPointer<QTcpSocket> socket = r.node.socket;
        QVERIFY(socket);
        r.node.close();
        r.node.close();
        QCOMPARE(r.log.lines, QStringList{"state 3"});
        QTRY_VERIFY(socket.isNull());  // a socket that never connected is deleted too
    }

    void reopenFromErrorHandler_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("socket error") << int(FakeRecorder::Accept);
        QTest::newRow("watchdog") << int(FakeRecorder::Silent);
        QTest::newRow("refusal") << int(FakeRecorder::Refuse);
    }
    void reopenFromErrorHandler()
    {
        // An owner that opens a new connection while it handles an error keeps it: the closing
        // step after the error acts on the failed socket only.
        QFETCH(int, mode);
        zvr3net_priv::setWatchdogOverride(300);
        Rig<zvr3net_priv> r(mode);  // a recorder that fails
        Fake good;
        bool reopened = false;
        connect(&r.node, &zvr3net_priv::sigError, &r.node, [&] {
            if (!std::exchange(reopened, true))
                r.node.open(good.url(), 1);
        });
        r.node.open(r.recorder.url(), 1);
        if (mode == FakeRecorder::Accept) {
            QTRY_COMPARE(r.log.lines, QStringList({"state 1", "state 2"}));
            r.recorder.lastSession()->abort();
        }
        QTRY_COMPARE(r.node.currentState(), 2);
        QTRY_VERIFY(good.lastSession() && good.lastSession()->loggedIn());
        QCOMPARE(r.log.lines.last(), QStringLiteral("state 2"));
        QCOMPARE(good.sessionCount(), 1);
        QVERIFY(good.lastSession()->isOpen());
        QTRY_VERIFY(!r.recorder.lastSession()->isOpen());
    }
};

QTEST_GUILESS_MAIN(tst_zvr3net_priv)
#include "tst_zvr3net_priv.moc"
