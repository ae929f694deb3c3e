#include "nettest.h"

class tst_zvr3net_priv : public QObject
{
    Q_OBJECT
private slots:
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
        QCOMPARE(r.connections.watching(), 0);  // once logged in, waits are the owner's to guard
    }

    void failures_data()
    {
        QTest::addColumn<QString>("url");        // none: the fake recorder
        QTest::addColumn<QByteArray>("answer");  // its answer to the login
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("forced");  // once logged in: -1 the recorder drops the connection; else bytes arrive in this state
        QTest::addColumn<QStringList>("expected");
        const QByteArray ok = zvr3fake::loginOk();
        const QString none;
        const QStringList in{"state 1", "state 2"};
        // After an error the owner opens a connection to another recorder, which logs in.
        const QStringList reopened{"state 3", "state 1", "state 2"};
        auto refused = [&](const char *error) { return QStringList{"state 1", error} + reopened; };
        auto lost = [&](const char *error) { return in + QStringList{error} + reopened; };
        QTest::newRow("accepted") << none << ok << 0 << -2 << in;
        QTest::newRow("accepted byte by byte") << none << ok << 1 << -2 << in;
        QTest::newRow("accepted with stream bytes") << none << ok + "STREAM" << 0 << -2 << in + QStringList{"data STREAM"};
        QTest::newRow("refused") << none << zvr3fake::loginRefused() << 0 << -2 << refused("error -1 Access denied");
        QTest::newRow("refused in pieces") << none << zvr3fake::loginRefused() << 3 << -2 << refused("error -1 Access denied");
        QTest::newRow("32 bytes of garbage") << none << QByteArray(32, 'x') << 0 << -2
                                             << refused("error -2 Unexpected authorization reply received");
        QTest::newRow("wrong length") << none << QByteArray("LENGTH=17\r\nTRAL_ANSWER=OK\r\n\r\nxyz") << 0 << -2
                                      << refused("error -2 Unexpected authorization reply received");
        // 31 bytes cannot be judged yet: only the watchdog ends the wait.
        QTest::newRow("31 bytes of garbage") << none << QByteArray(31, 'x') << 0 << -2 << refused("error -1 Network operation timeout");
        QTest::newRow("silent") << none << QByteArray() << 0 << -2 << refused("error -1 Network operation timeout");
        QTest::newRow("dropped") << none << ok << 0 << -1 << lost("error 1 The remote host closed the connection");
        // Bytes can only arrive in states 0 and 3 if the state machine and the socket disagree; the
        // state is forced to see that they are reported and the connection dropped.
        QTest::newRow("data in state 0") << none << ok << 0 << 0 << lost("error -3 Unexpected data received in state #0");
        QTest::newRow("data in state 3") << none << ok << 0 << 3 << lost("error -3 Unexpected data received in state #3");
        QTest::newRow("nobody listening") << "tcp://u:p@127.0.0.1:1" << ok << 0 << -2
                                          << QStringList{"error 0 Connection refused"} + reopened;
        QTest::newRow("no host") << "tcp://u:p@:1" << ok << 0 << -2 << QStringList{"error 2 Host not found"} + reopened;
    }
    void failures()
    {
        // An owner that opens a new connection while it handles an error keeps it: the closing
        // step after the error acts on the failed socket only.
        QFETCH(QString, url);
        QFETCH(QByteArray, answer);
        QFETCH(int, pieces);
        QFETCH(int, forced);
        QFETCH(QStringList, expected);
        Rig<zvr3net_priv> r(FakeRecorder::Garbage);  // its "garbage" is the answer of the row
        r.recorder.loginReply = answer;
        r.recorder.loginChunkSize = pieces;
        Fake good;
        connect(&r.node, &zvr3net_priv::sigError, &r.node, [&] { r.node.open(good.url(), 1); });
        r.node.open(url.isEmpty() ? r.recorder.url() : QUrl(url), 1);
        if (forced > -2) {
            QTRY_COMPARE(r.log.lines.size(), 2);
            if (forced < 0) {
                r.recorder.lastSession()->abort();
            } else {
                r.node.state = zvr3net_priv::State(forced);
                r.recorder.lastSession()->send("BYTES");
            }
        } else if (expected.contains(QStringLiteral("error -1 Network operation timeout"))) {
            // The whole answer is in, and nothing more will come.
            QTRY_VERIFY(r.recorder.lastSession() && r.recorder.lastSession()->loginReceived());
            QTRY_COMPARE(r.node.reply.size(), answer.size());
            zvr3net_priv_test::expire(&r.node);
        }
        QTRY_COMPARE(r.log.lines, expected);
        QCOMPARE(r.node.currentState(), 2);
        QCOMPARE(r.connections.watching(), 0);
        if (expected.contains(QStringLiteral("state 3")))
            QTRY_VERIFY(!r.recorder.lastSession() || !r.recorder.lastSession()->isOpen());
    }

    void watchdogRestartedByEachPiece()
    {
        // The login answer in three pieces: each restarts the wait for the next, the last one ends it.
        Rig<zvr3net_priv> r(FakeRecorder::Silent);
        r.node.open(r.recorder.url(), 1);
        QTRY_VERIFY(r.recorder.lastSession() && r.recorder.lastSession()->loginReceived());
        for (int at = 0; at < 27; at += 9) {
            // Far off: a piece brings it back to 30 s (give or take a coarse timer's 5 %).
            r.node.watchdog.start(3600 * 1000);
            r.recorder.lastSession()->send(zvr3fake::loginOk().mid(at, 9));
            QTRY_COMPARE(r.node.state == 2 ? 27 : int(r.node.reply.size()), at + 9);
            QCOMPARE(r.node.watchdog.isActive(), at < 18);
            QVERIFY(r.node.watchdog.remainingTime() < 2 * zvr3net_priv::Timeout);
        }
        QCOMPARE(r.log.lines, QStringList({"state 1", "state 2"}));
    }

    void closeWhileConnecting()
    {
        Rig<zvr3net_priv> r;
        r.node.close();  // nothing open: nothing to report
        r.node.open(r.recorder.url(), 1);
        QPointer<QTcpSocket> socket = r.node.socket;
        r.node.close();
        r.node.close();
        zvr3net_priv_test::expire(&r.node);  // nothing left to time out
        QCOMPARE(r.log.lines, QStringList{"state 3"});
        QTRY_VERIFY(socket.isNull());  // a socket that never connected is deleted too
    }

    void replacedSocketIgnored()
    {
        // The callbacks of a socket that a new open has replaced (ones already on their way when
        // the owner opened again) do not touch the new connection: no login on it, no state, no
        // error, and the new connection logs in as usual.
        Rig<zvr3net_priv> r;
        r.node.open(r.recorder.url(), 1);
        QTRY_COMPARE(r.log.lines, QStringList({"state 1", "state 2"}));
        QPointer<QTcpSocket> old = r.node.socket;
        r.node.open(r.recorder.url(), 1);
        QVERIFY(old && old != r.node.socket);
        connect(old.data(), &QTcpSocket::connected, &r.node, &zvr3net_priv::connected);
        connect(old.data(), &QTcpSocket::disconnected, &r.node, &zvr3net_priv::disconnected);
        connect(old.data(), &QTcpSocket::errorOccurred, &r.node, &zvr3net_priv::error);
        emit old->connected();
        emit old->disconnected();
        emit old->errorOccurred(QAbstractSocket::RemoteHostClosedError);
        QCOMPARE(r.log.lines, QStringList({"state 1", "state 2", "state 3"}));
        QCOMPARE(r.node.currentState(), 0);
        QTRY_COMPARE(r.log.lines, QStringList({"state 1", "state 2", "state 3", "state 1", "state 2"}));
        QTRY_COMPARE(r.recorder.sessionCount(), 2);
        QCOMPARE(r.recorder.lastSession()->received(), r.recorder.sessions().constFirst()->received());
    }
};

QTEST_GUILESS_MAIN(tst_zvr3net_priv)
#include "tst_zvr3net_priv.moc"
