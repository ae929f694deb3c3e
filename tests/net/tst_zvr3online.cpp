#include "nettest.h"
#include "zvr3online.h"

class tst_zvr3online : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }

    void channels_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("show 10 and 31") << "6:0a1f" << QByteArray("UNSTRIP_0A\r\nUNSTRIP_1F\r\n");
        QTest::newRow("hide 0 and 255") << "7:00ff" << QByteArray("STRIP_00\r\nSTRIP_FF\r\n");
        QTest::newRow("empty list") << "7:" << QByteArray();
        QTest::newRow("other codes") << "4:2010-03-05T00:00:00 5:1 8:x 1:m" << QByteArray();
    }
    void channels()
    {
        // The open asks for the first four channels; requests given before the login follow them.
        QFETCH(QString, script);
        QFETCH(QByteArray, wire);
        Fake recorder;
        zvr3online node;
        Log log(&node);
        play(node, recorder, QStringLiteral("2:view ") + script + QStringLiteral(" 7:05"));
        QTRY_VERIFY(recorder.requests().contains("STRIP_05"));
        QCOMPARE(recorder.lastSession()->received(), "\x01LOGIN=view\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n"
                                                     "STRIP_00\r\nSTRIP_01\r\nSTRIP_02\r\nSTRIP_03\r\n" + wire + "STRIP_05\r\n");
        QVERIFY(log.lines.isEmpty());
    }

    void passThrough()
    {
        zvr3online node;
        Log log(&node);
        node.slotData(QVariant(QByteArray("raw")));
        node.slotData(QVariant(QStringLiteral("text")));
        node.slotData(QVariant(42));
        node.slotData(QVariant());
        QCOMPARE(log.lines, QStringList{"data raw"});
    }

    void streamAndFailures()
    {
        // Failures come out in order with the stream; channel requests that waited for a failed
        // login do not reach the next connection.
        zvr3net_priv::setWatchdogOverride(200);
        Fake silent(FakeRecorder::Silent);
        Fake refusing(FakeRecorder::Refuse);
        Fake recorder;
        recorder.afterLogin = "HEAD";
        zvr3online node;
        Log log(&node);
        play(node, silent, QStringLiteral("2 6:09"));
        QTRY_COMPARE(log.lines, QStringList{"error -1 Network operation timeout"});
        play(node, refusing, QStringLiteral("2"));
        QTRY_COMPARE(log.lines.size(), 2);
        QCOMPARE(log.lines.at(1), QStringLiteral("error -1 Access denied"));
        play(node, recorder, QStringLiteral("2"));
        QTRY_COMPARE(log.data(), QByteArray("HEAD"));
        QByteArray stream(5000, 'z');
        for (int i = 0; i < stream.size(); ++i)
            stream[i] = char(i * 7);
        recorder.lastSession()->send(stream, 777);
        QTRY_COMPARE(log.data(), "HEAD" + stream);
        QCOMPARE(recorder.requests(), QList<QByteArray>({"STRIP_00", "STRIP_01", "STRIP_02", "STRIP_03"}));
        recorder.lastSession()->abort();
        QTRY_COMPARE(log.lines.last(), QStringLiteral("error 1 The remote host closed the connection"));
        QCOMPARE(log.data(), "HEAD" + stream);
    }
};

QTEST_GUILESS_MAIN(tst_zvr3online)
#include "tst_zvr3online.moc"
