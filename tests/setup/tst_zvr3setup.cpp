#include "../net/nettest.h"
#include "zvr3setup.h"

class tst_zvr3setup : public QObject
{
    Q_OBJECT
private slots:
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
        QTest::newRow("7-byte pieces") << accept << block << 7 << get << data << open;
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
};

QTEST_GUILESS_MAIN(tst_zvr3setup)
#include "tst_zvr3setup.moc"
