#include "nettest.h"
#include "zvr3net_archive_priv.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

namespace {
// A section as the recorder sends it: stream header, chunk header, index record, three whole video frames.
QByteArray section(quint32 seconds)
{
    zvr3stream::Recording r;
    r.audio = false;
    r.text = false;
    IDX_T idx;
    idx.time = seconds;
    QByteArray out = zvr3stream::encodeHeader(zvr3stream::sampleHeader(r)) + zvr3stream::encodeChunkHeader({seconds, 0, 0, 0})
                     + zvr3stream::encodeIndex(idx);
    for (int i = 0; i < 3; ++i) {
        DATA_T d;
        d.part = 3;
        d.time = qint64(seconds) * 1000 + i * 40;
        d.data = QByteArray(50 + i, char('a' + i));
        out += zvr3stream::encodeData(d, true, seconds);
    }
    return out;
}

// A chunk: a section and the closing chunk header and index record naming the next chunk.
QByteArray chunk(quint32 seconds, quint32 refHigh, quint32 refLow)
{
    IDX_T idx;
    idx.time = seconds + 1;
    return section(seconds) + zvr3stream::encodeChunkHeader({refHigh, refLow, 0, 0}) + zvr3stream::encodeIndex(idx);
}

// What the worker passes on from a section: what a parser reads from it but the chunk header.
QStringList records(const QByteArray &bytes)
{
    zvr3parser parser;
    QStringList out;
    for (const QVariant &v : zvr3test::feed(parser, bytes, 0)) {
        if (!zvr3holds<ARCHIVE_T_HDR>(v) && !zvr3holds<zvr3parser_position>(v))
            out << QString::fromUtf8(zvr3jsonl::line(v));
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
    void playback_data()
    {
        QTest::addColumn<int>("pieces");
        QTest::newRow("whole chunks") << 0;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("7 bytes") << 7;
    }
    void playback()
    {
        // Channel requests wait for the login, the time request waits for them, and each complete
        // chunk asks for the one it names, unless paused. Markers come out in their place after
        // chunk A; the stream header only once, as chunk B repeats it unchanged.
        QFETCH(int, pieces);
        Rig<zvr3net_archive_priv> r;
        script(r.recorder, pieces);
        r.play(QStringLiteral("6:0a1f 2"));
        QCOMPARE(r.node.currentState(), 1);
        r.play(QStringLiteral("7:03 7: 8:01 4:2010-03-05T14:07:09 1:after 5:1 1:paused 5:1"));
        const QStringList a = records(section(1000)) + QStringList{"marker after", "marker paused"};
        QTRY_COMPARE(r.log.lines, a);
        QCOMPARE(r.node.currentState(), 9);
        r.play(QStringLiteral("5:0"));
        QCOMPARE(r.node.currentState(), 3);
        QTRY_VERIFY(r.recorder.lastSession()->received().endsWith("GET_INDEX_0000000200000000\r\n"));
        QCOMPARE(r.recorder.lastSession()->received(),
                 QByteArray("\x02LOGIN=admin\r\nPASS=5ebe2294ecd0e0f08eab7690d2a6ee69\r\nENABLE_0a\r\nENABLE_1f\r\nDISABLE_03\r\n"
                            "GET_TIME_05/03/2010,14:07:09\r\nGET_INDEX_00000001000000ff\r\nGET_INDEX_0000000200000000\r\n"));
        QTRY_COMPARE(r.log.lines, a + records(section(1001)).mid(1));
        // Position reports without gaps over the connection's whole stream.
        qint64 end = 0;
        for (const QVariant &v : std::as_const(r.log.values)) {
            if (zvr3holds<zvr3parser_position>(v)) {
                QCOMPARE(v.value<zvr3parser_position>().position, end);
                end += v.value<zvr3parser_position>().length;
            }
        }
        QCOMPARE(end, qint64(chunk(1000, 1, 255).size() + chunk(1001, 2, 0).size()));
    }

    void queueRules()
    {
        // A close drops the requests ahead of it that wait for a state; the markers among them come out.
        Fake silent(FakeRecorder::Silent);
        Rig<zvr3net_archive_priv> r;
        script(r.recorder);
        play(r.node, silent, QStringLiteral("2 4:2010-03-05T01:02:03 1:m1 5:1 1:m2 3"));
        QCOMPARE(r.log.lines, QStringList({"marker m1", "marker m2"}));
        QCOMPARE(r.node.currentState(), 0);
        QVERIFY(r.node.queue.isEmpty());

        // An open does not wait behind a request either; the request waits for the new login.
        play(r.node, silent, QStringLiteral("2 4:2010-03-05T01:02:03 1:m3"));
        r.play(QStringLiteral("2"));
        QCOMPARE(r.node.currentState(), 1);
        QCOMPARE(r.node.queue.size(), 2);
        QTRY_COMPARE(r.log.lines.size(), 2 + 1 + 7 + 1 + 7);
        QCOMPARE(r.log.lines.at(2 + 8), QStringLiteral("marker m3"));
        QVERIFY(sent(r.recorder).startsWith(QLatin1String("GET_TIME_05/03/2010,01:02:03 ")));
        QTRY_COMPARE(sent(silent), QStringLiteral(" | "));

        // Waiting for a chunk, the worker serves an open further back at once; the reset of that
        // open serves the marker and the close behind it; a second open waits for the first login.
        r.log.lines.clear();
        r.node.queue << zvr3command(2, r.recorder.url(QStringLiteral("second"))) << zvr3command(1, QStringLiteral("m"))
                     << zvr3command(3) << zvr3command(2, r.recorder.url(QStringLiteral("third")));
        r.node.processQueue();
        QCOMPARE(r.log.lines, QStringList{"marker m"});
        QCOMPARE(r.node.currentState(), 1);
        QCOMPARE(r.node.queue.size(), 1);
        QTRY_COMPARE(r.recorder.sessionCount(), 3);
        QCOMPARE(r.recorder.sessions().at(1)->user(), QStringLiteral("second"));
        QTRY_VERIFY(r.recorder.sessions().at(2)->loggedIn());
        QCOMPARE(r.recorder.sessions().at(2)->user(), QStringLiteral("third"));
        QTRY_COMPARE(r.node.currentState(), 2);
        QVERIFY(r.node.queue.isEmpty());
    }

    void recordsOnlyInSections()
    {
        // Data records pass only inside a section; position reports always; raw bytes never.
        DATA_T d;
        d.data = "x";
        for (int state : {0, 1, 2, 3, 4, 5, 6, 8, 9}) {
            Rig<zvr3net_archive_priv> r;
            r.node.state = state;
            for (const QVariant &v : {zvr3value(d), zvr3value(zvr3parser_combined_DATA_T(d)),
                                      zvr3value(zvr3parser_position{4, 10, 5}), QVariant(QByteArray("raw"))})
                r.node.slotData(v);
            QCOMPARE(r.log.values.size(), state == 6 ? 3 : 1);
            QVERIFY(zvr3holds<zvr3parser_position>(r.log.values.last()));
            QCOMPARE(r.node.currentState(), state);
        }
    }

    void failuresMidChunk_data()
    {
        QTest::addColumn<bool>("drop");
        QTest::addColumn<bool>("garbage");
        QTest::newRow("recorder closes the connection") << true << false;
        QTest::newRow("recorder falls silent") << false << false;
        QTest::newRow("recorder sends garbage") << false << true;
    }
    void failuresMidChunk()
    {
        QFETCH(bool, drop);
        QFETCH(bool, garbage);
        Rig<zvr3net_archive_priv> r;
        Log bytes(r.node.connection);
        QByteArray a = chunk(1000, 1, 255);
        for (int i = 0; garbage && i < a.size(); ++i)
            a[i] = char(i * 131 + 7);
        if (!garbage)
            a.truncate(a.size() / 2 + 3);
        r.recorder.answer(a, 64, drop);
        r.play(QStringLiteral("2 4:2010-03-05T01:02:03 5:1 1:kept"));
        if (!drop) {
            // All of it is in, inside a section or still looking for one; the recorder says no more.
            QTRY_COMPARE(bytes.data().size(), a.size());
            QCOMPARE(r.node.currentState(), garbage ? 3 : 6);
            QCOMPARE(r.connections.watching(), 1);
            zvr3net_priv_test::expire(r.node.connection);
        }
        QTRY_COMPARE(r.log.lines.value(r.log.lines.size() - 1), drop ? QStringLiteral("error 1 The remote host closed the connection")
                                                                    : QStringLiteral("error -1 Network operation timeout"));
        QCOMPARE(r.node.currentState(), 0);
        QCOMPARE(r.node.queue.size(), 2);  // what waited behind the lost request is kept
        QTRY_VERIFY(!r.recorder.lastSession()->isOpen());

        // A new open starts clean, and serves the queued pause on its login.
        r.log.lines.clear();
        r.play(QStringLiteral("2"));
        QTRY_COMPARE(r.node.currentState(), 9);
        QCOMPARE(r.log.lines, QStringList{"marker kept"});
        QCOMPARE(r.connections.watching(), 0);
    }

    void commandsMidChunk_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("state");  // right after it
        QTest::addColumn<QString>("requests");
        const QString time = QStringLiteral("GET_TIME_05/03/2010,01:02:03");
        const QString next = QStringLiteral(" GET_INDEX_00000001000000ff (open)");
        // A seek waits for the end of the chunk, and takes the place of the request for the next.
        QTest::newRow("seek") << "4:2010-03-05T01:02:04" << 6 << time + " GET_TIME_05/03/2010,01:02:04" + next;
        // A close or an open is served at once; the next connection's stream is parsed afresh.
        QTest::newRow("close") << "3" << 0 << time + " | " + time + next;
        QTest::newRow("open") << "2 4:2010-03-05T01:02:03" << 1 << time + " | " + time + next;
    }
    void commandsMidChunk()
    {
        QFETCH(QString, command);
        QFETCH(int, state);
        QFETCH(QString, requests);
        Rig<zvr3net_archive_priv> r;
        Log bytes(r.node.connection);
        const QByteArray a = chunk(1000, 1, 255);
        const int half = a.size() / 2 + 3;
        // The first request gets half a chunk, each later one a whole chunk.
        r.recorder.onRequest = [&](FakeSession *s, const QByteArray &line) {
            if (line.startsWith("GET_TIME_"))
                s->send(r.recorder.sessionCount() == 1 && s->requests().size() == 1 ? a.left(half) : a);
        };
        r.play(QStringLiteral("2 4:2010-03-05T01:02:03"));
        QTRY_COMPARE(bytes.data().size(), half);
        QCOMPARE(r.node.currentState(), 6);
        const QStringList before = r.log.lines;
        r.play(command);
        QCOMPARE(r.node.currentState(), state);
        if (state == 6)
            r.recorder.lastSession()->send(a.mid(half));
        else if (state == 0)
            r.play(QStringLiteral("2 4:2010-03-05T01:02:03"));
        QTRY_COMPARE(sent(r.recorder), requests);
        const QStringList whole = records(section(1000));
        // The same stream header again is not passed on; after a reset it is.
        QTRY_COMPARE(r.log.lines, state == 6 ? whole + whole.mid(1) : before + whole);
    }
};

QTEST_GUILESS_MAIN(tst_zvr3net_archive)
#include "tst_zvr3net_archive.moc"
