#include <QtTest>

#include "netlog.h"
#include "zvr3command.h"
#include "zvr3fakerecorder.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive.h"
#include "zvr3net_archive_priv.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

namespace {
QVariant command(int code, const QVariant &data = QVariant())
{
    return zvr3value(zvr3command(code, data));
}

HDR_T header()
{
    zvr3stream::Recording r;
    r.audio = false;
    r.text = false;
    return zvr3stream::sampleHeader(r);
}

// One chunk as the recorder sends it: a section (stream header, chunk header, index record,
// whole video frames) and the closing chunk header and index record naming the next chunk.
QByteArray chunk(quint32 seconds, quint32 refHigh, quint32 refLow, int frames = 3, const HDR_T &h = header())
{
    QByteArray out = zvr3stream::encodeHeader(h);
    out += zvr3stream::encodeChunkHeader({seconds, 0, 0, 0});
    IDX_T idx;
    idx.time = seconds;
    out += zvr3stream::encodeIndex(idx);
    for (int i = 0; i < frames; ++i) {
        DATA_T d;
        d.part = 3;
        d.stream = 0;
        d.time = qint64(seconds) * 1000 + i * 40;
        d.data = QByteArray(50 + i, char('a' + i));
        out += zvr3stream::encodeData(d, true, seconds);
    }
    out += zvr3stream::encodeChunkHeader({refHigh, refLow, 0, 0});
    idx.time = seconds + 1;
    out += zvr3stream::encodeIndex(idx);
    return out;
}

// A recorder that answers the time request with chunk A (naming 1/255), the request for 1/255
// with chunk B (naming 2/0) and stays silent after that.
void script(FakeRecorder &recorder, int pieces)
{
    recorder.onRequest = [pieces](FakeSession *s, const QByteArray &line) {
        if (line.startsWith("GET_TIME_"))
            s->send(chunk(1000, 1, 255), pieces);
        else if (line == "GET_INDEX_00000001000000ff")
            s->send(chunk(1001, 2, 0), pieces);
    };
}
}

class tst_zvr3net_archive : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void playback_data();
    void playback();
    void markerWaitsForTimeRequest();
    void pauseAndResume();
    void closeDropsWaitingRequests();
    void openOvertakesWaitingRequest();
    void openServesMarkersAndClosesBehindIt();
    void channelSelection();
    void recordsByState_data();
    void recordsByState();
    void failuresMidChunk_data();
    void failuresMidChunk();
    void publicNodeRelays();
};

void tst_zvr3net_archive::playback_data()
{
    QTest::addColumn<int>("pieces");
    QTest::newRow("whole chunks") << 0;
    QTest::newRow("1 byte") << 1;
    QTest::newRow("7 bytes") << 7;
    QTest::newRow("100 bytes") << 100;
}

void tst_zvr3net_archive::playback()
{
    QFETCH(int, pieces);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    script(recorder, pieces);
    zvr3net_archive_priv worker;
    NodeLog log(&worker, false);
    worker.slotData(command(2, recorder.url()));
    QCOMPARE(worker.currentState(), 1);
    worker.slotData(command(4, QDateTime(QDate(2010, 3, 5), QTime(14, 7, 9))));
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 3);
    QCOMPARE(recorder.lastSession()->received(),
             QByteArray("\x02LOGIN=admin\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\n"
                        "GET_TIME_05/03/2010,14:07:09\r\nGET_INDEX_00000001000000ff\r\nGET_INDEX_0000000200000000\r\n"));
    QTRY_COMPARE(worker.currentState(), 3);

    // The stream header once (chunk B repeats it unchanged), each section's index, its frames.
    QStringList expected;
    zvr3parser parser;
    const QList<QVariant> parsed = zvr3test::feed(parser, zvr3stream::encodeHeader(header()), 0);
    for (const QVariant &v : parsed) {
        if (zvr3holds<HDR_T>(v))
            expected << QString::fromUtf8(zvr3jsonl::line(v));
    }
    for (quint32 seconds : {1000u, 1001u}) {
        IDX_T idx;
        idx.time = seconds;
        expected << QString::fromUtf8(zvr3jsonl::line(zvr3value(idx)));
        for (int i = 0; i < 3; ++i) {
            DATA_T d;
            d.size = quint32(50 + i);
            d.part = 3;
            d.time = qint64(seconds) * 1000 + i * 40;
            d.data = QByteArray(50 + i, char('a' + i));
            expected << QString::fromUtf8(zvr3jsonl::line(zvr3value(d)))
                     << QString::fromUtf8(zvr3jsonl::line(zvr3value(zvr3parser_combined_DATA_T(d))));
        }
    }
    QTRY_COMPARE(log.lines, expected);
    // A position report before every record of both chunks, counted over the connection's stream.
    int positions = 0;
    qint64 lastEnd = 0;
    for (const QVariant &v : std::as_const(log.values)) {
        if (zvr3holds<zvr3parser_position>(v)) {
            const auto p = v.value<zvr3parser_position>();
            QCOMPARE(p.position, lastEnd);
            lastEnd = p.position + p.length;
            if (p.length > 0)
                ++positions;
        }
    }
    QCOMPARE(lastEnd, qint64(chunk(1000, 1, 255).size() + chunk(1001, 2, 0).size()));
    QCOMPARE(positions, 2 * 8);
}

void tst_zvr3net_archive::markerWaitsForTimeRequest()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    script(recorder, 0);
    zvr3net_archive_priv worker;
    NodeLog log(&worker, false);
    worker.slotData(command(2, recorder.url()));
    worker.slotData(command(4, QDateTime(QDate(2010, 3, 5), QTime(0, 0))));
    worker.slotData(command(1, QStringLiteral("after chunk A")));
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 3);
    QTRY_COMPARE(log.lines.size(), 1 + 2 * 7 + 1);
    // The marker comes out when chunk A is complete, before chunk B's records.
    QCOMPARE(log.lines.at(1 + 7), QStringLiteral("marker after chunk A"));
}

void tst_zvr3net_archive::pauseAndResume()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    script(recorder, 0);
    zvr3net_archive_priv worker;
    NodeLog log(&worker, false);
    worker.slotData(command(2, recorder.url()));
    worker.slotData(command(4, QDateTime(QDate(2010, 3, 5), QTime(0, 0))));
    worker.slotData(command(5, true));
    worker.slotData(command(1, QStringLiteral("paused")));
    QTRY_COMPARE(log.lines.size(), 1 + 7 + 1);
    QCOMPARE(log.lines.last(), QStringLiteral("marker paused"));
    QCOMPARE(worker.currentState(), 9);
    // Pausing twice changes nothing; a time request waits for the resume.
    worker.slotData(command(5, true));
    QCOMPARE(worker.currentState(), 9);
    QCOMPARE(recorder.lastSession()->requests().size(), 1);

    worker.slotData(command(5, false));
    QCOMPARE(worker.currentState(), 3);
    QTRY_VERIFY(recorder.lastSession()->requests().size() >= 2);
    QCOMPARE(recorder.lastSession()->requests().at(1), QByteArray("GET_INDEX_00000001000000ff"));
    QTRY_COMPARE(log.lines.size(), 1 + 7 + 1 + 7);
    QTRY_COMPARE(recorder.lastSession()->requests().size(), 3);
}

void tst_zvr3net_archive::closeDropsWaitingRequests()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::Silent;
    zvr3net_archive_priv worker;
    NodeLog log(&worker);
    worker.slotData(command(2, recorder.url()));
    worker.slotData(command(4, QDateTime::currentDateTime()));
    worker.slotData(command(1, QStringLiteral("m1")));
    worker.slotData(command(5, true));
    worker.slotData(command(1, QStringLiteral("m2")));
    QCOMPARE(worker.queue.size(), 4);
    worker.slotData(command(3));
    QCOMPARE(log.lines, QStringList({"marker m1", "marker m2"}));
    QCOMPARE(worker.currentState(), 0);
    QVERIFY(worker.queue.isEmpty());
}

void tst_zvr3net_archive::openOvertakesWaitingRequest()
{
    FakeRecorder silent;
    QVERIFY(silent.listen());
    silent.loginMode = FakeRecorder::Silent;
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    script(recorder, 0);
    zvr3net_archive_priv worker;
    NodeLog log(&worker, false);
    worker.slotData(command(2, silent.url()));
    worker.slotData(command(4, QDateTime(QDate(2010, 3, 5), QTime(1, 2, 3))));
    worker.slotData(command(1, QStringLiteral("m")));
    worker.slotData(command(2, recorder.url()));
    QCOMPARE(worker.currentState(), 1);
    // The time request and the marker stay queued and are served on the new connection.
    QCOMPARE(worker.queue.size(), 2);
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 3);
    QCOMPARE(recorder.lastSession()->requests().at(0), QByteArray("GET_TIME_05/03/2010,01:02:03"));
    QTRY_VERIFY(!silent.lastSession()->isOpen());
    QVERIFY(silent.lastSession()->requests().isEmpty());
    QTRY_COMPARE(log.lines.size(), 1 + 7 + 1 + 7);
    QCOMPARE(log.lines.at(8), QStringLiteral("marker m"));
}

void tst_zvr3net_archive::openServesMarkersAndClosesBehindIt()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3net_archive_priv worker;
    NodeLog log(&worker);
    worker.slotData(command(2, recorder.url()));
    QTRY_COMPARE(worker.currentState(), 2);
    // Code 4 is served at once and leaves the worker waiting for its chunk; what comes behind
    // waits, except the open, whose reset serves the marker and the close behind it.
    worker.slotData(command(4, QDateTime::currentDateTime()));
    QCOMPARE(worker.currentState(), 3);
    worker.queue << zvr3command(2, recorder.url(QStringLiteral("second"))) << zvr3command(1, QStringLiteral("m"))
                 << zvr3command(3) << zvr3command(2, recorder.url(QStringLiteral("third")));
    worker.processQueue();
    QCOMPARE(log.lines, QStringList{"marker m"});
    QCOMPARE(worker.currentState(), 1);
    QCOMPARE(worker.queue.size(), 1);  // the third open waits for the second login
    QTRY_COMPARE(recorder.sessionCount(), 3);
    QCOMPARE(recorder.sessions().at(1)->user(), QStringLiteral("second"));
    QTRY_VERIFY(recorder.sessions().at(2)->loggedIn());
    QCOMPARE(recorder.sessions().at(2)->user(), QStringLiteral("third"));
    QTRY_COMPARE(worker.currentState(), 2);
    QVERIFY(worker.queue.isEmpty());
}

void tst_zvr3net_archive::channelSelection()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3net_archive_priv worker;
    worker.slotData(command(6, QByteArray("\x0a\x1f")));  // waits for the login
    worker.slotData(command(2, recorder.url()));
    worker.slotData(command(7, QByteArray("\x03")));
    worker.slotData(command(7, QByteArray()));
    worker.slotData(command(8, QByteArray("\x01")));  // not a command of this node
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 3);
    QCOMPARE(recorder.lastSession()->requests(), QList<QByteArray>({"ENABLE_0a", "ENABLE_1f", "DISABLE_03"}));
    QCOMPARE(worker.currentState(), 2);
    QVERIFY(worker.queue.isEmpty());
}

void tst_zvr3net_archive::recordsByState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("passes");
    for (int s : {0, 1, 2, 3, 4, 5, 8, 9})
        QTest::addRow("state %d", s) << s << false;
    QTest::newRow("state 6") << 6 << true;
}

void tst_zvr3net_archive::recordsByState()
{
    QFETCH(int, state);
    QFETCH(bool, passes);
    zvr3net_archive_priv worker;
    NodeLog log(&worker);
    worker.state = state;
    DATA_T d;
    d.data = "x";
    worker.slotData(zvr3value(d));
    worker.slotData(zvr3value(zvr3parser_combined_DATA_T(d)));
    worker.slotData(zvr3value(zvr3parser_position{4, 10, 5}));
    worker.slotData(QVariant(QByteArray("raw")));
    QCOMPARE(log.values.size(), passes ? 3 : 1);
    QVERIFY(zvr3holds<zvr3parser_position>(log.values.last()));
    QCOMPARE(worker.currentState(), state);
}

void tst_zvr3net_archive::failuresMidChunk_data()
{
    QTest::addColumn<bool>("drop");
    QTest::addColumn<bool>("garbage");
    QTest::newRow("recorder drops the connection") << true << false;
    QTest::newRow("recorder falls silent") << false << false;
    QTest::newRow("recorder sends garbage") << false << true;
}

void tst_zvr3net_archive::failuresMidChunk()
{
    QFETCH(bool, drop);
    QFETCH(bool, garbage);
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    QByteArray a = chunk(1000, 1, 255);
    if (garbage) {
        for (int i = 0; i < a.size(); ++i)
            a[i] = char(i * 131 + 7);
    }
    recorder.onRequest = [&](FakeSession *s, const QByteArray &) {
        s->send(garbage ? a : a.left(a.size() / 2 + 3), 64);
        if (drop)
            QTimer::singleShot(50, s, [s] { s->abort(); });
    };
    zvr3net_archive_priv worker;
    NodeLog log(&worker, false);
    worker.slotData(command(2, recorder.url()));
    worker.slotData(command(4, QDateTime::currentDateTime()));
    worker.slotData(command(5, true));
    worker.slotData(command(1, QStringLiteral("kept")));
    QTRY_VERIFY(!log.lines.isEmpty() && log.lines.last().startsWith(QLatin1String("error")));
    QCOMPARE(log.lines.last(), drop ? QStringLiteral("error 1 The remote host closed the connection")
                                    : QStringLiteral("error -1 Network operation timeout"));
    QCOMPARE(worker.currentState(), 0);
    // The commands behind the lost request are still queued.
    QCOMPARE(worker.queue.size(), 2);
    QTRY_VERIFY(!recorder.lastSession()->isOpen());

    // A new open starts clean: positions count from 0 on the new connection.
    recorder.onRequest = [](FakeSession *s, const QByteArray &) { s->send(chunk(1000, 1, 255)); };
    log.values.clear();
    log.lines.clear();
    worker.slotData(command(2, recorder.url()));
    QTRY_COMPARE(worker.currentState(), 9);  // the queued pause is served on the new login
    QCOMPARE(log.lines, QStringList{"marker kept"});
}

void tst_zvr3net_archive::publicNodeRelays()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::Garbage;
    auto *node = new zvr3net_archive;
    NodeLog log(node);
    node->slotData(command(2, recorder.url()));
    node->slotData(command(1, QStringLiteral("after reset")));
    QTRY_COMPARE(log.lines, QStringList({"marker after reset", "error -2 Unexpected authorization reply received"}));
    delete node;
}

QTEST_GUILESS_MAIN(tst_zvr3net_archive)
#include "tst_zvr3net_archive.moc"
