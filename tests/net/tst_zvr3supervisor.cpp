#include "nettest.h"
#include "zvr3decoder.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3events.h"
#include "zvr3jpeg.h"
#include "zvr3net_archive.h"
#include "zvr3net_archive_priv.h"
#include "zvr3online.h"
#include "zvr3setup.h"
#include "zvr3streamwriter.h"
#include "zvr3supervisor.h"
#include "zvr3supervisor_priv.h"

// The recorder's time of an archive second.
QDateTime at(quint32 second)
{
    return QDateTime::fromSecsSinceEpoch(second, Qt::UTC);
}

// Ends the wait before the supervisor's next attempt now.
void retryNow(zvr3supervisor_private *d)
{
    QVERIFY(d->retry.isActive());
    d->retry.stop();
    d->startAttempt();
}

// Holds every decoder's worker before it decodes, from its making until release() or its end: the
// decoders' queues fill, and their back-pressure holds the fetch back.
class HeldDecoders
{
public:
    HeldDecoders()
    {
        zvr3decoder_priv_thread::setDecodeHook([this] {
            if (!m_open)
                m_go.tryAcquire(1, 60000);
        });
    }
    ~HeldDecoders()
    {
        release();
        zvr3decoder_priv_thread::setDecodeHook(nullptr);
    }
    void release()
    {
        m_open = true;
        m_go.release(1000);
    }

private:
    QSemaphore m_go;
    std::atomic<bool> m_open{false};
};

// A live source behind a supervisor, a fake recorder, and what the supervisor emits: its state
// records as "<State> attempt <n> next <ms>", errors and records as the network tests' log shows
// them. The waits before a reconnect end when the test says so (fire()), never on a clock.
struct Supervised
{
    explicit Supervised(int mode = FakeRecorder::Accept)
        : recorder(mode)
    {
        QObject::connect(&supervisor, &zvr3base::sigData, &context, [this](const QVariant &v) {
            if (const auto s = zvr3take<zvr3stats>(v)) {
                states << *s;
                lines << QStringLiteral("%1 attempt %2 next %3")
                             .arg(QLatin1String(QMetaEnum::fromType<zvr3stats::State>().valueToKey(s->state)))
                             .arg(s->attempt)
                             .arg(s->nextAttemptMs);
            } else if (v.metaType() != QMetaType::fromType<zvr3parser_position>()) {
                lines << log.lines.last();  // the log has seen it first
            }
        });
    }
    zvr3supervisor_private *d() { return zvr3supervisor_private::of(&supervisor); }
    zvr3stats::State state() const { return states.isEmpty() ? zvr3stats::Closed : states.last().state; }
    // Ends the wait before the next attempt now.
    void fire() { retryNow(d()); }

    Fake recorder;
    zvr3online live;
    zvr3supervisor supervisor{&live};
    Log log{&supervisor};
    QList<zvr3stats> states;
    QStringList lines;
    QObject context;
};


// A recorder's archive of the seconds First to First + Seconds - 1: a time request or an index
// request is answered with the chunk of its second (a header, the second's frames in parts,
// sound and texts), whose closing records name the next second; after the last, silence.
// Connection n sends only cuts[n] bytes of its answers (when given, >= 0), then closes.
// Stepped, the chunks asked for wait, in order, until the test sends them with give().
struct ArchiveRecorder : Fake
{
    static constexpr quint32 First = 1700000000;
    static constexpr int Seconds = 6;

    explicit ArchiveRecorder(QList<int> cutsAt = {})
        : cuts(std::move(cutsAt))
    {
        onRequest = [this](FakeSession *s, const QByteArray &line) {
            quint32 second = 0;
            if (line.startsWith("GET_TIME_"))
                second = quint32(QDateTime::fromString(QString::fromLatin1(line.mid(9)), QStringLiteral("dd/MM/yyyy,hh:mm:ss"))
                                     .toSecsSinceEpoch());
            else if (line.startsWith("GET_INDEX_"))
                second = line.mid(18, 8).toUInt(nullptr, 16);
            if (second < First || second >= First + Seconds)
                return;
            QByteArray bytes = chunk(second);
            if (stepped) {
                owed << bytes;
                owedTo = s;
                return;
            }
            const int n = int(sessions().indexOf(s));
            const bool cut = n < cuts.size() && cuts[n] >= 0;
            const qint64 room = cut ? cuts[n] - sentOn[s] : bytes.size();
            sentOn[s] += qMin<qint64>(room, bytes.size());
            s->send(bytes.left(qMax<qint64>(room, 0)));
            if (cut && room <= bytes.size())
                s->closeWhenSent();
        };
    }
    static QByteArray chunk(quint32 second)
    {
        zvr3stream::Recording r;
        r.seconds = 1;
        r.startTime = second;
        r.videoStreams = 2;
        r.framesPerSecond = 5;
        r.maxFrameBytes = 90000;  // some frames in parts
        IDX_T next;
        next.time = second + 1;
        return zvr3stream::generate(r) + zvr3stream::encodeChunkHeader({0, second + 1, 0, 0}) + zvr3stream::encodeIndex(next);
    }
    // The request that follows the last second's chunk: all has been played.
    bool done() const
    {
        const QByteArray end = QStringLiteral("GET_INDEX_%1%2").arg(0, 8, 16, QLatin1Char('0')).arg(First + Seconds, 8, 16, QLatin1Char('0')).toLatin1();
        for (const FakeSession *s : sessions()) {
            if (s->requests().contains(end))
                return true;
        }
        return false;
    }

    // Stepped: sends the next bytes of the oldest chunk owed, count of them (-1: the rest).
    QByteArray give(qint64 count)
    {
        QByteArray &head = owed.first();
        const QByteArray part = count < 0 ? head : head.left(count);
        head.remove(0, part.size());
        if (head.isEmpty())
            owed.removeFirst();
        owedTo->send(part);
        return part;
    }

    QList<int> cuts;
    QHash<FakeSession *, qint64> sentOn;
    bool stepped = false;
    QList<QByteArray> owed;
    FakeSession *owedTo = nullptr;
};

// The records a consumer sees, as JSON lines: no position reports (they count each connection's
// bytes), errors or state records.
QStringList records(const QList<QVariant> &values)
{
    QStringList out;
    for (const QVariant &v : values) {
        if (!zvr3holds<zvr3parser_position>(v) && !zvr3holds<zvr3stats>(v) && !zvr3holds<zvr3error>(v))
            out << QString::fromUtf8(zvr3jsonl::line(v));
    }
    return out;
}

// The archive of an ArchiveRecorder played behind a supervisor, and what the supervisor emits.
struct ArchivePlayback
{
    explicit ArchivePlayback(QList<int> cuts = {})
        : recorder(std::move(cuts))
    {
    }
    void start()
    {
        supervisor.open(recorder.url());
        supervisor.play(at(ArchiveRecorder::First));
    }

    ArchiveRecorder recorder;
    zvr3net_archive archive;
    zvr3supervisor supervisor{&archive};
    Log log{&supervisor};
    zvr3supervisor_private *d = zvr3supervisor_private::of(&supervisor);
};

// The archive of ArchiveRecorder played whole (from the given second on), without a fault and
// without a supervisor.
QStringList uninterruptedPlayback(quint32 from = ArchiveRecorder::First)
{
    ArchiveRecorder recorder;
    zvr3net_archive archive;
    Log log(&archive);
    archive.open(recorder.url());
    archive.play(at(from));
    if (!QTest::qWaitFor([&] { return recorder.done(); }, 60000)) {
        qWarning("%s / %s", qPrintable(sent(recorder)), qPrintable(log.lines.mid(log.lines.size() - 3).join(" ; ")));
        return {};
    }
    return records(log.values);
}


// What a supervisor of requests emits, one word or line each: its states, errors, answers
// ("data <bytes>", "list <events>") and markers.
QStringList requestLines(const QList<QVariant> &values)
{
    QStringList out;
    for (const QVariant &v : values) {
        if (const auto st = zvr3take<zvr3stats>(v))
            out << QLatin1String(QMetaEnum::fromType<zvr3stats::State>().valueToKey(st->state));
        else if (const auto e = zvr3take<zvr3error>(v))
            out << QStringLiteral("error %1 %2").arg(e->code).arg(e->text);
        else if (const auto list = zvr3take<EVENTS_FILE_LIST_T>(v))
            out << QStringLiteral("list %1").arg(list->size());
        else if (v.typeId() == QMetaType::QByteArray)
            out << QStringLiteral("data ") + QString::fromLatin1(v.toByteArray());
        else if (v.typeId() == QMetaType::QImage)
            out << QStringLiteral("image ") + v.value<QImage>().text(QStringLiteral("description"));
        else
            out << QStringLiteral("marker ") + v.toString();
    }
    return out;
}

static const QString Strips = QStringLiteral("STRIP_00 STRIP_01 STRIP_02 STRIP_03");

class tst_zvr3supervisor : public QObject
{
    Q_OBJECT
private slots:
    // No wait of the supervisor ends on its own while a test runs (a thousand times longer), and
    // none is made shorter at random.
    void init()
    {
        zvr3supervisor_private::timerScale = 1000;
        zvr3supervisor_private::random = [] { return 0.0; };
    }
    void cleanup()
    {
        zvr3supervisor_private::random = nullptr;
        zvr3supervisor_private::timerScale = 1;
    }

    void reconnect_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("closed by the recorder")
            << "close"
            << QStringList{"Connecting attempt 1 next -1", "Streaming attempt 1 next -1",
                           "error 1 The remote host closed the connection", "WaitingToReconnect attempt 1 next 500",
                           "Connecting attempt 2 next -1", "Streaming attempt 2 next -1"};
        QTest::newRow("connection refused")
            << "refuse"
            << QStringList{"Connecting attempt 1 next -1", "error 0 Connection refused",
                           "WaitingToReconnect attempt 1 next 500", "Connecting attempt 2 next -1",
                           "Streaming attempt 2 next -1"};
        QTest::newRow("silent recorder")
            << "stall"
            << QStringList{"Connecting attempt 1 next -1", "Streaming attempt 1 next -1", "Stalled attempt 1 next -1",
                           "error -1 Network operation timeout", "WaitingToReconnect attempt 1 next 500",
                           "Connecting attempt 2 next -1", "Streaming attempt 2 next -1"};
    }
    void reconnect()
    {
        // Each failure of the connection brings a wait and then a new connection with the same
        // URL; the first attempt counts, so a recorder that is down at the start is waited for.
        QFETCH(QString, fault);
        QFETCH(QStringList, expected);
        Supervised s;
        const quint16 port = s.recorder.port();
        const QUrl url = s.recorder.url();
        if (fault == QLatin1String("refuse"))
            s.recorder.close();
        s.supervisor.open(url);
        if (fault != QLatin1String("refuse")) {
            QTRY_COMPARE(s.state(), zvr3stats::Streaming);
            QCOMPARE(s.d()->idle.isActive(), true);
            QTRY_COMPARE(sent(s.recorder), Strips + " (open)");
            if (fault == QLatin1String("close"))
                s.recorder.lastSession()->abort();
            else
                s.d()->stall();
        }
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        QCOMPARE(s.supervisor.stats().lastError.reason,
                 fault == QLatin1String("stall") ? zvr3error::Timeout : zvr3error::SocketError);
        if (fault == QLatin1String("refuse"))
            QVERIFY(s.recorder.listen(QHostAddress::LocalHost, port));
        s.fire();
        QTRY_VERIFY2(s.state() == zvr3stats::Streaming, qPrintable(s.lines.join(QLatin1String(" / "))));
        QCOMPARE(s.lines, expected);
        QCOMPARE(s.supervisor.stats().reconnects, 1);
        QTRY_COMPARE(sent(s.recorder), fault == QLatin1String("refuse") ? Strips + " (open)" : Strips + " | " + Strips + " (open)");
        // Closing stops everything: no wait, no watch, nothing more.
        s.supervisor.close();
        QCOMPARE(s.state(), zvr3stats::Closed);
        QVERIFY(!s.d()->retry.isActive() && !s.d()->idle.isActive());
        QTRY_VERIFY(!s.recorder.lastSession()->isOpen());
        const qsizetype count = s.states.size();
        s.supervisor.close();  // no change, no record
        QCOMPARE(s.states.size(), count);
    }

    void backoff_data()
    {
        QTest::addColumn<double>("random");
        QTest::addColumn<QList<qint64>>("delays");
        // Initial 100 ms, cap 1000 ms, a fifth at most taken off at random.
        QTest::newRow("no jitter") << 0.0 << QList<qint64>{100, 200, 400, 800, 1000, 1000};
        QTest::newRow("most jitter") << 0.999 << QList<qint64>{81, 161, 321, 641, 801, 801};
    }
    void backoff()
    {
        // The waits grow to the cap and stay there; after a connection that stayed up and
        // delivered data the next wait is the initial one again, and the budget ends in Failed.
        QFETCH(double, random);
        QFETCH(QList<qint64>, delays);
        static double r;
        r = random;
        zvr3supervisor_private::random = [] { return r; };
        Supervised s;
        s.supervisor.setInitialDelay(100);
        s.supervisor.setMaxDelay(1000);
        const quint16 port = s.recorder.port();
        const QUrl url = s.recorder.url();
        s.recorder.close();
        s.supervisor.open(url);
        QList<qint64> chosen;
        for (int i = 0; i < delays.size(); ++i) {
            QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
            chosen << s.states.last().nextAttemptMs;
            if (i == delays.size() - 1)
                QVERIFY(s.recorder.listen(QHostAddress::LocalHost, port));
            s.fire();
        }
        QCOMPARE(chosen, delays);
        // A connection that fails before it was up for long keeps the delays growing.
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        s.recorder.lastSession()->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        QCOMPARE(s.states.last().nextAttemptMs, delays.last());
        s.fire();
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        // One that stayed up and delivered data resets them.
        s.recorder.lastSession()->send("bytes");
        QTRY_COMPARE(s.supervisor.stats().bytesReceived, 5);
        s.d()->steady.stop();
        s.d()->steadyReached();
        s.recorder.lastSession()->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        QCOMPARE(s.states.last().nextAttemptMs, delays.first());
        QCOMPARE(s.supervisor.stats().reconnects, delays.size() + 1);
        // A budget of three attempts after an open: the third failure ends it.
        s.supervisor.setMaxAttempts(3);
        s.recorder.close();
        s.supervisor.open(url);
        for (int i = 0; i < 2; ++i) {
            QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
            s.fire();
        }
        QTRY_COMPARE(s.state(), zvr3stats::Failed);
        QCOMPARE(s.supervisor.stats().attempt, 3);
        QCOMPARE(s.supervisor.stats().lastError.reason, zvr3error::SocketError);
        QVERIFY(!s.d()->retry.isActive());
    }

    void periodicStats()
    {
        // Asked for, the record also comes at every interval while opened, with the silence so far.
        // An idle time of 0 watches nothing: a live stream may then pause for as long as it likes.
        Supervised s;
        s.supervisor.setStatsInterval(1000);
        s.supervisor.setIdleTimeout(0);
        QVERIFY(!s.d()->ticker.isActive());
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        QVERIFY(s.d()->ticker.isActive() && !s.d()->idle.isActive());
        s.d()->tick();
        QCOMPARE(s.states.size(), 3);
        QCOMPARE(s.states.last().state, zvr3stats::Streaming);
        QCOMPARE(s.states.last().msSinceLastByte, -1);
        s.recorder.lastSession()->send("abc");
        QTRY_COMPARE(s.supervisor.stats().bytesReceived, 3);
        s.d()->tick();
        QVERIFY(s.states.last().msSinceLastByte >= 0);
        QCOMPARE(s.states.last().bytesReceived, 3);
        s.supervisor.close();
        QVERIFY(!s.d()->ticker.isActive());
    }

    void newSource()
    {
        // A new source closes the old one; the supervisor is closed until it opens the new one,
        // whose stream then comes out and whose failures it follows.
        Supervised s;
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        zvr3online other;
        s.supervisor.setSource(&other);
        QCOMPARE(s.state(), zvr3stats::Closed);
        QTRY_VERIFY(!s.recorder.lastSession()->isOpen());
        s.live.open(s.recorder.url());  // the old source is the application's again, and not relayed
        QTRY_COMPARE(s.recorder.sessionCount(), 2);
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        QCOMPARE(s.recorder.sessionCount(), 3);
        s.recorder.sessions().at(1)->abort();
        s.recorder.sessions().at(2)->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        QCOMPARE(s.lines.mid(3), (QStringList{"Connecting attempt 1 next -1", "Streaming attempt 1 next -1",
                                              "error 1 The remote host closed the connection",
                                              "WaitingToReconnect attempt 1 next 500"}));
    }

    void channelsRestored()
    {
        // The selection made since the open, those changes made while waiting included, is asked
        // for again with only the requests that differ from what an open asks for.
        Supervised s;
        s.supervisor.open(s.recorder.url());
        s.supervisor.showChannels({9, 5});
        s.supervisor.hideChannels({2, 1});
        QTRY_COMPARE(sent(s.recorder), Strips + " STRIP_09 STRIP_05 UNSTRIP_02 UNSTRIP_01 (open)");
        s.recorder.lastSession()->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        s.supervisor.showChannels({7, 1});
        s.supervisor.hideChannels({9, 0});
        s.fire();
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        QTRY_COMPARE(sent(s.recorder).section(QLatin1String(" | "), 1),
                     Strips + " UNSTRIP_00 UNSTRIP_02 STRIP_05 STRIP_07 (open)");
        // A new open starts from the four channels again.
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.recorder.sessionCount(), 3);
        s.recorder.sessions().at(2)->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        s.fire();
        QTRY_COMPARE(s.recorder.sessionCount(), 4);
        QTRY_COMPARE(sent(s.recorder).section(QLatin1String(" | "), 3), Strips + " (open)");
    }

    void archiveResume_data()
    {
        QTest::addColumn<QList<int>>("cuts");
        const int chunk = int(ArchiveRecorder::chunk(ArchiveRecorder::First).size());
        QTest::newRow("again and again") << QList<int>{chunk / 3, chunk / 2, 37, chunk + 5, 200};
        QTest::newRow("at a chunk's end") << QList<int>{chunk, chunk};
        QTest::newRow("before any record") << QList<int>{10, 0};
    }
    void archiveResume()
    {
        // However the connections fail, the records that come out are those of an
        // uninterrupted playback, each once and in order.
        QFETCH(QList<int>, cuts);
        const QStringList whole = uninterruptedPlayback();
        QVERIFY(whole.size() > 100);
        ArchivePlayback p(cuts);
        p.start();
        QVERIFY(QTest::qWaitFor([&] {
            if (p.d->retry.isActive())
                retryNow(p.d);
            return p.recorder.done();
        }, 60000));
        QCOMPARE(records(p.log.values), whole);
        QCOMPARE(p.supervisor.stats().reconnects, cuts.size());
        // Every reconnect asks for the time of the last record passed on.
        for (int n = 1; n < p.recorder.sessionCount(); ++n)
            QVERIFY2(p.recorder.sessions().at(n)->requests().value(0).startsWith("GET_TIME_"), qPrintable(sent(p.recorder)));
    }

    void archivePausedStaysPaused()
    {
        const QStringList whole = uninterruptedPlayback();
        ArchivePlayback p;
        p.start();
        p.supervisor.setPaused(true);  // takes effect when the first chunk is in
        QTRY_COMPARE(p.d->archive->currentState(), int(zvr3net_archive_priv::Paused));
        QCOMPARE(p.recorder.lastSession()->requests().size(), 1);
        // Silence while paused is no stall.
        p.d->stall();
        QCOMPARE(p.supervisor.stats().state, zvr3stats::Streaming);
        p.recorder.lastSession()->abort();
        QTRY_VERIFY(p.d->retry.isActive());
        retryNow(p.d);
        QTRY_COMPARE(p.supervisor.stats().state, zvr3stats::Streaming);
        p.d->stall();
        QCOMPARE(p.supervisor.stats().state, zvr3stats::Streaming);
        QCOMPARE(p.recorder.sessionCount(), 2);
        QVERIFY(p.recorder.lastSession()->requests().isEmpty());
        // Going on asks for the place where it stood.
        p.supervisor.setPaused(false);
        QTRY_VERIFY(p.recorder.done());
        QCOMPARE(p.recorder.lastSession()->requests().value(0),
                 at(ArchiveRecorder::First).toString(QStringLiteral("'GET_TIME_'dd/MM/yyyy,hh:mm:ss")).toLatin1());
        QCOMPARE(records(p.log.values), whole);
        // A stall while a chunk is awaited is one.
        p.supervisor.play(at(ArchiveRecorder::First + ArchiveRecorder::Seconds));
        QTRY_COMPARE(p.d->archive->currentState(), int(zvr3net_archive_priv::Requested));
        p.d->stall();
        QCOMPARE(p.supervisor.stats().lastError.reason, zvr3error::Timeout);
        QCOMPARE(p.supervisor.stats().state, zvr3stats::WaitingToReconnect);
    }

    void archiveSeekAt_data()
    {
        // The moment a seek comes, given as the steps of a script: "half" and "rest" send the
        // first half and the rest of the chunk the recorder owes, "paused" waits for the source
        // to have served the pause; "hold" and "free" are the player's hold for its buffer,
        // "pause" and "go" the application's, "full" and "drain" the decoders' back-pressure;
        // "seek:<n>" plays from second n. The player's seek is "hold seek:<n> free".
        QTest::addColumn<QString>("script");
        QTest::newRow("mid-chunk") << "half hold seek:3 free rest";
        QTest::newRow("between chunks") << "rest hold seek:3 free";
        QTest::newRow("the player's hold served") << "half hold rest paused seek:3 free";
        QTest::newRow("paused mid-chunk") << "half pause hold seek:3 free rest paused go";
        QTest::newRow("paused, pause served") << "half pause rest paused hold seek:3 free go";
        QTest::newRow("back-pressure mid-chunk") << "half full hold seek:3 free rest paused drain";
        QTest::newRow("right after going on") << "half pause rest paused go hold seek:3 free";
        QTest::newRow("right after going on, mid-chunk") << "half pause go hold seek:3 free rest";
        QTest::newRow("to the place under way") << "half hold seek:0 free rest";
        QTest::newRow("twice before an answer") << "half hold seek:5 free hold seek:3 free rest";
        QTest::newRow("twice, paused") << "half pause hold seek:5 free hold seek:3 free rest paused go";
        QTest::newRow("again while the old place drains") << "half hold seek:5 free rest half hold seek:3 free rest";
        QTest::newRow("the application's play mid-chunk") << "half seek:3 rest";
        QTest::newRow("the application's play twice") << "half seek:5 seek:3 rest";
        QTest::newRow("the application's play while paused") << "half pause rest paused seek:3 go";
    }
    void archiveSeekAt()
    {
        // Whenever the seek comes, what comes out after it is the archive from the time asked
        // for, as an uninterrupted playback from there gives it: nothing more of the old place,
        // nothing of a seek overtaken by a later one.
        QFETCH(QString, script);
        ArchivePlayback p;
        ArchiveRecorder &recorder = p.recorder;
        zvr3supervisor &supervisor = p.supervisor;
        zvr3supervisor_private *d = p.d;
        recorder.stepped = true;
        // Back-pressure: a decoder that decodes nothing until drained holds the fetch back from
        // its first record on.
        std::optional<zvr3decoder> video;
        std::optional<HeldDecoders> held;  // let go before the decoder goes
        if (script.contains(QLatin1String("full"))) {
            held.emplace();
            video.emplace(0);
            connect(&supervisor, &zvr3base::sigData, &*video, &zvr3base::slotData);
            supervisor.addDecoder(&*video);
            supervisor.setBackPressure(1);
        }
        p.start();
        quint32 target = ArchiveRecorder::First;
        qsizetype seekedAt = 0;
        const auto give = [&](bool half) {
            QTRY_VERIFY(!recorder.owed.isEmpty());
            const qint64 before = supervisor.stats().bytesReceived;
            const QByteArray part = recorder.give(half ? recorder.owed.first().size() / 2 : -1);
            QTRY_COMPARE(supervisor.stats().bytesReceived, before + part.size());
        };
        for (const QString &step : script.split(QLatin1Char(' '))) {
            if (step == QLatin1String("half") || step == QLatin1String("rest")) {
                give(step == QLatin1String("half"));
            } else if (step == QLatin1String("paused")) {
                QTRY_COMPARE(d->archive->currentState(), int(zvr3net_archive_priv::Paused));
            } else if (step == QLatin1String("hold") || step == QLatin1String("free")) {
                d->setOwnerHold(step == QLatin1String("hold"));
            } else if (step == QLatin1String("pause") || step == QLatin1String("go")) {
                supervisor.setPaused(step == QLatin1String("pause"));
            } else if (step == QLatin1String("full")) {
                QVERIFY(d->heldBack);
            } else if (step == QLatin1String("drain")) {
                supervisor.setBackPressure(0);
            } else {
                QVERIFY(step.startsWith(QLatin1String("seek:")));
                target = ArchiveRecorder::First + step.mid(5).toUInt();
                seekedAt = p.log.values.size();
                supervisor.play(at(target));
            }
            if (QTest::currentTestFailed())
                return;
        }
        // From here on the recorder answers at once.
        recorder.stepped = false;
        while (!recorder.owed.isEmpty())
            recorder.give(-1);
        QTRY_VERIFY2(recorder.done(), qPrintable(sent(recorder)));
        // The stream header is the same throughout: after the seek it does not come again.
        const auto withoutHeaders = [](QStringList lines) {
            lines.removeIf([](const QString &line) { return line.startsWith(QLatin1String("{\"record\": \"HDR_T\"")); });
            return lines;
        };
        const QStringList expected = withoutHeaders(uninterruptedPlayback(target));
        QVERIFY(expected.size() > 50);
        QCOMPARE(withoutHeaders(records(p.log.values.mid(seekedAt))), expected);
    }

    void requestsAgain_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("requests");  // what the recorder received, as sent() shows it
        const QString closed = QStringLiteral("error %1 The remote host closed the connection").arg(QAbstractSocket::RemoteHostClosedError);
        const QString refused = QStringLiteral("error %1 Connection refused").arg(QAbstractSocket::ConnectionRefusedError);
        const QString timeout = QStringLiteral("error -1 Network operation timeout");
        const QString events = QStringLiteral("GET_ALL_EVENTS_01/01/1970,00:00:00,01/01/1970,00:00:00");
        QTest::newRow("event list, line dropped")
            << "events" << "drop"
            << QStringList{"Connecting", "Streaming", closed, "WaitingToReconnect", "Connecting", "Streaming", "list 0", "Closed", "marker after"}
            << events + " | " + events;
        QTest::newRow("event list that trickles past the deadline")
            << "events" << "trickle"
            << QStringList{"Connecting", "Streaming", timeout, "WaitingToReconnect", "Connecting", "Streaming", "list 0", "Closed", "marker after"}
            << events + " | " + events;
        // A snapshot cut short is fetched again; a whole answer that is no picture is the
        // recorder's, and would come again.
        QTest::newRow("snapshot cut short")
            << "jpeg" << "cut"
            << QStringList{"Connecting", "Streaming", "WaitingToReconnect", "Connecting", "Streaming", "image no signal", "Closed", "marker after"}
            << "GET_JPEG_STREAM 0 320 240 90 -1 | GET_JPEG_STREAM 0 320 240 90 -1";
        QTest::newRow("snapshot refused by the recorder")
            << "jpeg" << "error status"
            << QStringList{"Connecting", "Streaming", "image error", "Closed", "marker after"}
            << "GET_JPEG_STREAM 0 320 240 90 -1";
        // A set-up request goes again only when the failed connection had not written it.
        // A refused login is not tried again: the account could be locked by repeated refusals.
        QTest::newRow("live, login refused: no other attempt")
            << "live" << "refused login"
            << QStringList{"Connecting", "error -1 Access denied", "Failed"}
            << "";
        QTest::newRow("set-up, refused before the request went out")
            << "setup" << "refuse"
            << QStringList{"Connecting", refused, "WaitingToReconnect", "Connecting", "Streaming", "data A", "marker after", "data B"}
            << "GET a GET b (open)";
        QTest::newRow("set-up, line dropped after the request went out")
            << "setup" << "drop"
            << QStringList{"Connecting", "Streaming", closed, "WaitingToReconnect", "Connecting", "marker after", "Streaming", "data B"}
            << "GET a | GET b (open)";
    }
    void requestsAgain()
    {
        QFETCH(QString, service);
        QFETCH(QString, fault);
        QFETCH(QStringList, expected);
        QFETCH(QString, requests);
        Fake recorder(fault == QLatin1String("refused login") ? FakeRecorder::Refuse : FakeRecorder::Accept);
        const quint16 port = recorder.port();
        // The first connection fails as the row says; later ones answer.
        recorder.onRequest = [&](FakeSession *s, const QByteArray &line) {
            if (recorder.sessionCount() == 1 && fault == QLatin1String("drop")) {
                s->abort();
            } else if (recorder.sessionCount() == 1 && fault == QLatin1String("trickle")) {
                s->send("\x06");
            } else if (service == QLatin1String("jpeg")) {
                const QByteArray payload = fault == QLatin1String("error status") ? "-1:" : "-5:";
                QByteArray frame(4, '\0');
                const bool cut = fault == QLatin1String("cut") && recorder.sessionCount() == 1;
                qToLittleEndian(quint32(cut ? 100 : payload.size()), frame.data());
                s->send(frame + payload);
                s->closeWhenSent();
            } else if (service == QLatin1String("events")) {
                s->send(QByteArray("\x06\xe5\xe5\xe5\0\0\0\0\x07\xe5\xe5\xe5", 12));
                s->closeWhenSent();
            } else {
                s->send(zvr3fake::answerBlock(line.mid(4).toUpper()));
            }
        };
        std::unique_ptr<zvr3base> source;
        if (service == QLatin1String("events"))
            source.reset(new zvr3events);
        else if (service == QLatin1String("jpeg"))
            source.reset(new zvr3jpeg);
        else if (service == QLatin1String("live"))
            source.reset(new zvr3online);
        else
            source.reset(new zvr3setup);
        zvr3supervisor supervisor(source.get());
        zvr3supervisor_private *d = zvr3supervisor_private::of(&supervisor);
        Log log(&supervisor);
        const QUrl url = recorder.url();
        if (fault == QLatin1String("refuse"))
            recorder.close();
        if (service == QLatin1String("live")) {
            supervisor.open(url);
        } else if (service != QLatin1String("setup")) {
            supervisor.fetch(url);
        } else {
            supervisor.open(url);
            supervisor.request("GET a\r\n");
        }
        if (service != QLatin1String("live"))
            supervisor.mark(QStringLiteral("after"));
        if (service == QLatin1String("setup"))
            supervisor.request("GET b\r\n");
        if (fault == QLatin1String("trickle")) {
            QTRY_COMPARE(supervisor.stats().bytesReceived, 1);
            d->deadlineReached();
        }
        if (!expected.contains(QStringLiteral("WaitingToReconnect"))) {
            QTRY_COMPARE(requestLines(log.values), expected);
            QTRY_COMPARE(sent(recorder), requests);
            QVERIFY(!d->retry.isActive());
            return;
        }
        QTRY_VERIFY(d->retry.isActive());
        if (fault == QLatin1String("refuse"))
            QVERIFY(recorder.listen(QHostAddress::LocalHost, port));
        retryNow(d);
        QTRY_COMPARE_WITH_TIMEOUT(requestLines(log.values).join(" / "), expected.join(" / "), 10000);
        QTRY_COMPARE(sent(recorder), requests);
    }

    void garbageCounted()
    {
        // Records of streams that the header does not list and bytes skipped before a header are
        // counted; a connection that brings mostly such garbage in an idle time is given up.
        Supervised s;
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        zvr3stream::Recording rec;
        rec.seconds = 1;
        QByteArray stray;
        DATA_T d;
        d.part = 3;
        d.stream = 77;
        d.data = QByteArray(5000, 'x');
        for (int i = 0; i < 20; ++i)
            stray += zvr3stream::encodeData(d, false, 0);
        const QByteArray bytes = QByteArray(100, '\xff') + zvr3stream::generate(rec) + stray;
        s.recorder.lastSession()->send(bytes);
        QTRY_COMPARE(s.supervisor.stats().bytesReceived, bytes.size());
        QCOMPARE(s.supervisor.stats().skippedBytes, 100);
        QCOMPARE(s.supervisor.stats().unlistedRecords, 20);
        s.d()->checkGarbage();  // less than half of the window: nothing happens
        QCOMPARE(s.state(), zvr3stats::Streaming);
        s.recorder.lastSession()->send(stray);
        QTRY_COMPARE(s.supervisor.stats().unlistedRecords, 40);
        s.d()->checkGarbage();
        QCOMPARE(s.states.at(s.states.size() - 2).state, zvr3stats::Stalled);
        QCOMPARE(s.state(), zvr3stats::WaitingToReconnect);
        QCOMPARE(s.supervisor.stats().lastError.reason, zvr3error::ProtocolError);
    }

    void backPressure()
    {
        // With the decoder stopped, the fetch stops after the chunk that filled its queue; once
        // the decoder goes on, so does the playback, and nothing is dropped.
        ArchivePlayback p;
        zvr3decoder video(0);
        HeldDecoders held;  // let go before the decoder goes
        connect(&p.supervisor, &zvr3base::sigData, &video, &zvr3base::slotData);
        p.supervisor.addDecoder(&video);
        p.supervisor.setBackPressure(3);
        p.start();
        QTRY_COMPARE(p.d->archive->currentState(), int(zvr3net_archive_priv::Paused));
        QVERIFY(p.d->heldBack && !p.d->appPaused);
        const qsizetype asked = p.recorder.lastSession()->requests().size();
        QVERIFY(asked <= 2);
        // At most the limit and the frames of one chunk (five a second) wait.
        QVERIFY(video.counters().queued <= 3 + 5);
        held.release();
        QTRY_VERIFY(p.recorder.done());
        QTRY_COMPARE(video.counters().decoded, qint64(ArchiveRecorder::Seconds * 5));
        QCOMPARE(video.counters().dropped, 0);
        QVERIFY(p.recorder.lastSession()->requests().size() > asked);
        QCOMPARE(p.supervisor.stats().decoded, qint64(ArchiveRecorder::Seconds * 5));
    }

    void parserStartsAfresh()
    {
        // A connection that fails in the middle of a record leaves nothing behind: the records of
        // the next connection are whole, as an uninterrupted stream of the same bytes gives them.
        zvr3stream::Recording rec;
        rec.seconds = 2;
        rec.maxFrameBytes = 100000;  // frames in parts too
        const QByteArray stream = zvr3stream::generate(rec);
        zvr3parser parser;
        Log whole(&parser);
        parser.slotData(stream);
        QVERIFY(whole.lines.size() > 50);

        Supervised s;
        s.supervisor.open(s.recorder.url());
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        // Cut inside a frame sent in parts.
        const qsizetype cut = stream.indexOf(QByteArray(3, '\0'), stream.size() / 2) + 1;
        s.recorder.lastSession()->send(stream.left(cut));
        QTRY_COMPARE(s.supervisor.stats().bytesReceived, cut);
        s.recorder.lastSession()->abort();
        QTRY_COMPARE(s.state(), zvr3stats::WaitingToReconnect);
        s.fire();
        QTRY_COMPARE(s.state(), zvr3stats::Streaming);
        const qsizetype from = s.lines.size();
        s.recorder.lastSession()->send(stream, 1000);
        QTRY_COMPARE(s.supervisor.stats().bytesReceived, cut + stream.size());
        QCOMPARE(s.lines.mid(from), whole.lines);
    }
};

QTEST_GUILESS_MAIN(tst_zvr3supervisor)
#include "tst_zvr3supervisor.moc"
