#include "nettest.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive_priv.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

namespace {
HDR_T header()
{
    zvr3stream::Recording r;
    r.audio = false;
    r.text = false;
    return zvr3stream::sampleHeader(r);
}

// The three whole video frames of the chunk that starts at the given second.
QList<DATA_T> frames(quint32 seconds)
{
    QList<DATA_T> out;
    for (int i = 0; i < 3; ++i) {
        DATA_T d;
        d.size = quint32(50 + i);
        d.part = 3;
        d.time = qint64(seconds) * 1000 + i * 40;
        d.data = QByteArray(50 + i, char('a' + i));
        out << d;
    }
    return out;
}

// One chunk as the recorder sends it: a section (stream header, chunk header, index record,
// frames) and the closing chunk header and index record naming the next chunk.
QByteArray chunk(quint32 seconds, quint32 refHigh, quint32 refLow)
{
    IDX_T idx;
    idx.time = seconds;
    QByteArray out = zvr3stream::encodeHeader(header()) + zvr3stream::encodeChunkHeader({seconds, 0, 0, 0})
                     + zvr3stream::encodeIndex(idx);
    for (const DATA_T &d : frames(seconds))
        out += zvr3stream::encodeData(d, true, seconds);
    idx.time = seconds + 1;
    return out + zvr3stream::encodeChunkHeader({refHigh, refLow, 0, 0}) + zvr3stream::encodeIndex(idx);
}

// What the worker emits for that chunk: the section's index record, each frame plain and combined.
QStringList section(quint32 seconds)
{
    IDX_T idx;
    idx.time = seconds;
    QStringList out{QString::fromUtf8(zvr3jsonl::line(zvr3value(idx)))};
    for (const DATA_T &d : frames(seconds)) {
        out << QString::fromUtf8(zvr3jsonl::line(zvr3value(d)))
            << QString::fromUtf8(zvr3jsonl::line(zvr3value(zvr3parser_combined_DATA_T(d))));
    }
    return out;
}

// A recorder that answers the time request with chunk A (naming 1/255), the request for 1/255
// with chunk B (naming 2/0) and stays silent after that.
void script(FakeRecorder &recorder, int pieces = 0)
{
    recorder.onRequest = [pieces](FakeSession *s, const QByteArray &line) {
        if (line.startsWith("GET_TIME_"))
            s->send(chunk(1000, 1, 255), pieces);
        else if (line == "GET_INDEX_00000001000000ff")
            s->send(chunk(1001, 2, 0), pieces);
    };
}
} // namespace

class tst_zvr3net_archive : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }

    void playback_data()
    {
        QTest::addColumn<int>("pieces");
        QTest::newRow("whole chunks") << 0;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("7 bytes") << 7;
        QTest::newRow("100 bytes") << 100;
    }
    void playback()
    {
        // Channel requests wait for the login, the time request waits for them, and each complete
        // chunk asks for the one it names. A marker behind the time request comes out after chunk A.
        QFETCH(int, pieces);
        Fake recorder;
        script(recorder, pieces);
        zvr3net_archive_priv worker;
        Log log(&worker, false);
        worker.slotData(cmd(6, QByteArray("\x0a\x1f")));
        worker.slotData(cmd(2, recorder.url()));
        QCOMPARE(worker.currentState(), 1);
        worker.slotData(cmd(7, QByteArray("\x03")));
        worker.slotData(cmd(7, QByteArray()));
        worker.slotData(cmd(8, QByteArray("\x01")));  // not a command of this node
        worker.slotData(cmd(4, QDateTime(QDate(2010, 3, 5), QTime(14, 7, 9))));
        worker.slotData(cmd(1, QStringLiteral("after chunk A")));
        QTRY_COMPARE(recorder.requests().size(), 6);
        QCOMPARE(recorder.lastSession()->received(),
                 QByteArray("\x02LOGIN=admin\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\nENABLE_0a\r\nENABLE_1f\r\nDISABLE_03\r\n"
                            "GET_TIME_05/03/2010,14:07:09\r\nGET_INDEX_00000001000000ff\r\nGET_INDEX_0000000200000000\r\n"));
        QTRY_COMPARE(worker.currentState(), 3);

        // The stream header once (chunk B repeats it unchanged), then each section's records.
        zvr3parser parser;
        const QString head = zvr3test::listing(zvr3test::feed(parser, zvr3stream::encodeHeader(header()), 0)).last();
        QTRY_COMPARE(log.lines, QStringList{head} + section(1000) + QStringList{"marker after chunk A"} + section(1001));
        // A position report before every record of both chunks, counted over the connection's stream.
        qint64 end = 0;
        int records = 0;
        for (const QVariant &v : std::as_const(log.values)) {
            if (!zvr3holds<zvr3parser_position>(v))
                continue;
            const auto p = v.value<zvr3parser_position>();
            QCOMPARE(p.position, end);
            end = p.position + p.length;
            records += p.length > 0;
        }
        QCOMPARE(end, qint64(chunk(1000, 1, 255).size() + chunk(1001, 2, 0).size()));
        QCOMPARE(records, 2 * 8);
    }

    void pauseAndResume()
    {
        Fake recorder;
        script(recorder);
        zvr3net_archive_priv worker;
        Log log(&worker, false);
        worker.slotData(cmd(2, recorder.url()));
        worker.slotData(cmd(4, QDateTime(QDate(2010, 3, 5), QTime(0, 0))));
        worker.slotData(cmd(5, true));
        worker.slotData(cmd(1, QStringLiteral("paused")));
        QTRY_COMPARE(log.lines.size(), 1 + 7 + 1);
        QCOMPARE(log.lines.last(), QStringLiteral("marker paused"));
        QCOMPARE(worker.currentState(), 9);
        worker.slotData(cmd(5, true));  // pausing twice changes nothing
        QCOMPARE(worker.currentState(), 9);
        worker.slotData(cmd(5, false));
        QCOMPARE(worker.currentState(), 3);
        QTRY_COMPARE(log.lines.size(), 1 + 7 + 1 + 7);
        QTRY_COMPARE(recorder.requests(), QList<QByteArray>({"GET_TIME_05/03/2010,00:00:00", "GET_INDEX_00000001000000ff",
                                                             "GET_INDEX_0000000200000000"}));
    }

    void closeDropsWaitingRequests()
    {
        // A close drops the requests ahead of it that wait for a state; the markers among them come out.
        Fake recorder(FakeRecorder::Silent);
        zvr3net_archive_priv worker;
        Log log(&worker);
        worker.slotData(cmd(2, recorder.url()));
        worker.slotData(cmd(4, QDateTime::currentDateTime()));
        worker.slotData(cmd(1, QStringLiteral("m1")));
        worker.slotData(cmd(5, true));
        worker.slotData(cmd(1, QStringLiteral("m2")));
        QCOMPARE(worker.queue.size(), 4);
        worker.slotData(cmd(3));
        QCOMPARE(log.lines, QStringList({"marker m1", "marker m2"}));
        QCOMPARE(worker.currentState(), 0);
        QVERIFY(worker.queue.isEmpty());
    }

    void openOvertakesWaitingRequest()
    {
        // An open does not wait behind a request; the request waits for the new login.
        Fake silent(FakeRecorder::Silent);
        Fake recorder;
        script(recorder);
        zvr3net_archive_priv worker;
        Log log(&worker, false);
        worker.slotData(cmd(2, silent.url()));
        worker.slotData(cmd(4, QDateTime(QDate(2010, 3, 5), QTime(1, 2, 3))));
        worker.slotData(cmd(1, QStringLiteral("m")));
        worker.slotData(cmd(2, recorder.url()));
        QCOMPARE(worker.currentState(), 1);
        QCOMPARE(worker.queue.size(), 2);
        QTRY_COMPARE(recorder.requests().size(), 3);
        QCOMPARE(recorder.requests().at(0), QByteArray("GET_TIME_05/03/2010,01:02:03"));
        QTRY_VERIFY(!silent.lastSession()->isOpen());
        QVERIFY(silent.lastSession()->requests().isEmpty());
        QTRY_COMPARE(log.lines.size(), 1 + 7 + 1 + 7);
        QCOMPARE(log.lines.at(8), QStringLiteral("marker m"));
    }

    void openServesMarkersAndClosesBehindIt()
    {
        // Waiting for a chunk, the worker serves an open further back at once; the reset of that
        // open serves the marker and the close behind it; a second open waits for the first login.
        Fake recorder;
        zvr3net_archive_priv worker;
        Log log(&worker);
        worker.slotData(cmd(2, recorder.url()));
        QTRY_COMPARE(worker.currentState(), 2);
        worker.slotData(cmd(4, QDateTime::currentDateTime()));
        QCOMPARE(worker.currentState(), 3);
        worker.queue << zvr3command(2, recorder.url(QStringLiteral("second"))) << zvr3command(1, QStringLiteral("m"))
                     << zvr3command(3) << zvr3command(2, recorder.url(QStringLiteral("third")));
        worker.processQueue();
        QCOMPARE(log.lines, QStringList{"marker m"});
        QCOMPARE(worker.currentState(), 1);
        QCOMPARE(worker.queue.size(), 1);
        QTRY_COMPARE(recorder.sessionCount(), 3);
        QCOMPARE(recorder.sessions().at(1)->user(), QStringLiteral("second"));
        QTRY_VERIFY(recorder.sessions().at(2)->loggedIn());
        QCOMPARE(recorder.sessions().at(2)->user(), QStringLiteral("third"));
        QTRY_COMPARE(worker.currentState(), 2);
        QVERIFY(worker.queue.isEmpty());
    }

    void recordsByState_data()
    {
        QTest::addColumn<int>("state");
        for (int s : {0, 1, 2, 3, 4, 5, 6, 8, 9})
            QTest::addRow("state %d", s) << s;
    }
    void recordsByState()
    {
        // Data records pass only inside a section; position reports always; raw bytes never.
        QFETCH(int, state);
        zvr3net_archive_priv worker;
        Log log(&worker);
        worker.state = state;
        DATA_T d;
        d.data = "x";
        worker.slotData(zvr3value(d));
        worker.slotData(zvr3value(zvr3parser_combined_DATA_T(d)));
        worker.slotData(zvr3value(zvr3parser_position{4, 10, 5}));
        worker.slotData(QVariant(QByteArray("raw")));
        QCOMPARE(log.values.size(), state == 6 ? 3 : 1);
        QVERIFY(zvr3holds<zvr3parser_position>(log.values.last()));
        QCOMPARE(worker.currentState(), state);
    }

    void failuresMidChunk_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::addColumn<bool>("garbage");
        QTest::newRow("recorder drops the connection") << true << false;
        QTest::newRow("recorder falls silent") << false << false;
        QTest::newRow("recorder sends garbage") << false << true;
    }
    void failuresMidChunk()
    {
        QFETCH(bool, drop);
        QFETCH(bool, garbage);
        zvr3net_priv::setWatchdogOverride(300);
        Fake recorder;
        QByteArray a = chunk(1000, 1, 255);
        for (int i = 0; garbage && i < a.size(); ++i)
            a[i] = char(i * 131 + 7);
        recorder.onRequest = [&](FakeSession *s, const QByteArray &) {
            s->send(garbage ? a : a.left(a.size() / 2 + 3), 64);
            if (drop)
                QTimer::singleShot(50, s, [s] { s->abort(); });
        };
        zvr3net_archive_priv worker;
        Log log(&worker, false);
        worker.slotData(cmd(2, recorder.url()));
        worker.slotData(cmd(4, QDateTime::currentDateTime()));
        worker.slotData(cmd(5, true));
        worker.slotData(cmd(1, QStringLiteral("kept")));
        QTRY_VERIFY(!log.lines.isEmpty() && log.lines.last().startsWith(QLatin1String("error")));
        QCOMPARE(log.lines.last(), drop ? QStringLiteral("error 1 The remote host closed the connection")
                                        : QStringLiteral("error -1 Network operation timeout"));
        QCOMPARE(worker.currentState(), 0);
        QCOMPARE(worker.queue.size(), 2);  // what waited behind the lost request is kept
        QTRY_VERIFY(!recorder.lastSession()->isOpen());

        // A new open starts clean, and serves the queued pause on its login.
        log.lines.clear();
        worker.slotData(cmd(2, recorder.url()));
        QTRY_COMPARE(worker.currentState(), 9);
        QCOMPARE(log.lines, QStringList{"marker kept"});
    }
};

QTEST_GUILESS_MAIN(tst_zvr3net_archive)
#include "tst_zvr3net_archive.moc"
