#include "../net/nettest.h"
#include "zvr3setup.h"
#include "zvr3setup_priv.h"

namespace {
const QStringList given{QStringLiteral("error -1 Set-up answer too large")};
}

class tst_zvr3setup : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3setup_priv::setAnswerLimitOverride(0); }

    void scenarios_data()
    {
        scenarioColumns();
        const int accept = FakeRecorder::Accept;
        const QByteArray block = zvr3fake::answerBlock("name=value\r\n");
        const QString get = QStringLiteral("2 8:GET 1:done");
        const QStringList data{"data name=value\r\n", "marker done"};
        const QStringList empty{"data ", "marker done"};
        const QStringList protocol{"error -1 Device data protocol error", "marker done"};
        const QString open = QStringLiteral("GET (open)");
        QTest::newRow("empty answer") << accept << QByteArray("LENGTH=16\r\nTRAL_ANSWER=OK\r\n") << 0 << get << empty << open;
        QTest::newRow("whole") << accept << block << 0 << get << data << open;
        QTest::newRow("one byte at a time") << accept << block << 1 << get << data << open;
        QTest::newRow("refusal") << accept << zvr3fake::answerBlock("", "TRAL_ANSWER=ERROR bad name\r\n") << 0 << get
                                 << QStringList{"error -1 Device returns error", "marker done"} << open;
        QTest::newRow("missing trailer") << accept << QByteArray("LENGTH=5\r\nabc\r\n") << 0 << get << protocol << open;
        QTest::newRow("other trailer") << accept << QByteArray("LENGTH=18\r\nTRAL_ANSWER=MAYBE\r\n") << 0 << get << protocol << open;
        // A length that is no number reads as 0: the length line alone is a block, and its trailer
        // is the one that follows it.
        QTest::newRow("non-numeric length") << accept << QByteArray("LENGTH=1x\r\nTRAL_ANSWER=OK\r\n") << 0 << get << empty << open;
        // Each request after the previous answer, the marker between the answers, the disconnect last.
        QTest::newRow("2, 8, 1, 8, 3") << accept << zvr3fake::answerBlock("ok") << 0 << "2 8:A 1:between 8:B 3 1:end"
                                       << QStringList{"data ok", "marker between", "data ok", "marker end"} << "A B";
        // A second code 2 replaces the connection; the request behind it goes out after the new login.
        QTest::newRow("reconnect") << accept << zvr3fake::answerBlock("ok") << 0 << "2 8:first 2 8:second"
                                   << QStringList{"data ok", "data ok"} << "first | second (open)";
        QTest::newRow("no connection") << accept << block << 0 << "8:lost 3 5:1 1:only" << QStringList{"marker only"} << QString();
        // Garbage is an error, and the wait for the answer goes on until the watchdog; the queue goes.
        QTest::newRow("garbage") << accept << QByteArray("HTTP/1.0 400 Bad Request\r\n") << 0 << "2 8:x 8:dropped"
                                 << QStringList{"error -1 Device data protocol error", "error -1 Network operation timeout"} << "x";
        QTest::newRow("refused login") << int(FakeRecorder::Refuse) << block << 0 << "2 8:x 1:dropped"
                                       << QStringList{"error -1 Access denied"} << QString();
    }
    void scenarios() { runScenario<zvr3setup>(4, Queued | MarkerWhenIdle); }

    void tooLarge_data()
    {
        QTest::addColumn<qint64>("limit");  // 0: the usual one
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("expected");
        const QByteArray block = zvr3fake::answerBlock(QByteArray(1000 - 12 - 16, 'd'));  // 1000 bytes
        // The length is checked as soon as its line is in, the size of what arrived with every piece.
        QTest::newRow("length over the limit") << qint64(1000) << QByteArray("LENGTH=989\r\ndd") << given;
        QTest::newRow("block at the limit") << qint64(1000) << block
                                            << QStringList{"data " + QString(972, QLatin1Char('d')), "marker m"};
        QTest::newRow("length line without its end") << qint64(1000) << "LENGTH=" + QByteArray(2000, '9') << given;
        QTest::newRow("data without a line end") << qint64(1000) << "LENGTH=5\r\nabcde" + QByteArray(2000, 'x') << given;
        QTest::newRow("length past 64 bits") << qint64(0) << QByteArray("LENGTH=99999999999999999999\r\n") << given;
        // 17 bytes of length line and the number: 64 MiB, and one byte more.
        QTest::newRow("over 64 MiB") << qint64(0) << QByteArray("LENGTH=67108848\r\n") << given;
        QTest::newRow("64 MiB") << qint64(0) << QByteArray("LENGTH=67108847\r\nsome data")
                                << QStringList{"error -1 Network operation timeout"};
    }
    void tooLarge()
    {
        // An answer block too large to gather is given up as soon as that shows, like a failed
        // connection: reported, its bytes freed, the queue dropped and the connection closed by the
        // node. A new connection then works as usual.
        QFETCH(qint64, limit);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, expected);
        zvr3setup_priv::setAnswerLimitOverride(limit);
        Rig<zvr3setup_priv> r;
        r.recorder.onRequest = [&](FakeSession *s, const QByteArray &line) {
            s->send(line == "GET" ? reply : zvr3fake::answerBlock("ok"), 100);
        };
        qsizetype held = -1;  // what the worker holds when it reports
        QObject::connect(&r.node, &zvr3base::sigData, &r.log.context, [&](const QVariant &v) {
            if (zvr3holds<zvr3error>(v))
                held = r.node.buffer.capacity();
        });
        r.play(QStringLiteral("2 8:GET 1:m"));
        if (expected.first().endsWith(QLatin1String("timeout"))) {
            // A block within the limit that never ends: the wait ends when the watchdog does, once
            // the worker holds all that came.
            QTRY_COMPARE(r.node.buffer.size(), reply.size());
            zvr3net_priv_test::expire(r.connections.alive().constFirst());
        }
        QTRY_COMPARE(r.log.lines, expected);
        QCOMPARE(held == 0, expected == given);
        const bool failed = expected.first().startsWith(QLatin1String("error"));
        QTRY_COMPARE(sent(r.recorder), failed ? QStringLiteral("GET") : QStringLiteral("GET (open)"));
        r.play(QStringLiteral("2 8:again"));
        QTRY_COMPARE(r.log.lines, expected + QStringList{"data ok"});
    }
};

QTEST_GUILESS_MAIN(tst_zvr3setup)
#include "tst_zvr3setup.moc"
