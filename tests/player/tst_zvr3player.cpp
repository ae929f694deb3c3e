#include <QtTest>

#include <csignal>

#include "zvr3net_archive_priv.h"
#include "zvr3player.h"
#include "zvr3player_priv.h"
#include "zvr3supervisor.h"
#include "zvr3supervisor_priv.h"
#include "zvr3testsim.h"
#include "zvr3testutil.h"
#include "zvr3tz.h"

namespace {

// The simulator's sound is stream 64, its texts 65, its positions 66; its clock (the recorder's)
// reads UTC.
using zvr3test::Sim;

// Only a failing test waits this long.
constexpr int Patience = 30000;
constexpr int Audio = 64;

// What a player released, in order: the stream, the recorded time (UTC ms), the kind, and the
// test clock's reading when it left.
struct Released
{
    int stream;
    qint64 time;
    char kind;  // 'p'icture, 's'ound, 't'ext, 'l'ocation
    qint64 clockUs;
};

struct Watch
{
    explicit Watch(zvr3player &player) : player(player)
    {
        const auto add = [this](int stream, const QDateTime &time, char kind) {
            items.append({stream, time.toMSecsSinceEpoch(), kind, zvr3player_private::of(&this->player)->manualNowUs});
        };
        QObject::connect(&player, &zvr3player::picture, &player, [=](int s, const QImage &image, const QDateTime &t) {
            if (!image.isNull())
                add(s, t, 'p');
        });
        QObject::connect(&player, &zvr3player::sound, &player, [=](int s, const zvr3sound_buffer &, const QDateTime &t) { add(s, t, 's'); });
        QObject::connect(&player, &zvr3player::text, &player, [=](int s, const QString &, const QDateTime &t) { add(s, t, 't'); });
        QObject::connect(&player, &zvr3player::location, &player, [=](int s, const zvr3position_info &, const QDateTime &t) { add(s, t, 'l'); });
        QObject::connect(&player, &zvr3player::stateChanged, &player, [this](zvr3stats::State s) { states << s; });
        QObject::connect(&player, &zvr3player::errorOccurred, &player, [this](const zvr3error &e) { errors << e; });
    }
    int pictures(int stream, qsizetype from = 0) const
    {
        return int(std::count_if(items.cbegin() + from, items.cend(), [&](const Released &r) { return r.kind == 'p' && r.stream == stream; }));
    }
    zvr3player &player;
    QList<Released> items;
    QList<zvr3stats::State> states;
    QList<zvr3error> errors;
};

zvr3player_private *of(zvr3player &player) { return zvr3player_private::of(&player); }

// The archive clock under the test's hand: it moves only when told, to the next item's due time.
struct Driven
{
    explicit Driven(zvr3player &player) : d(of(player)) { d->manualClock = true; }
    // The next item to leave, once no stream can bring an earlier one: the earliest waiting item,
    // ready, and a later record handed already (records come in time order).
    bool settled()
    {
        if (d->waiting.empty())
            return false;
        const auto head = d->waiting.begin();
        return d->lastHandedMs > head->first.time && d->ready(head->first.time, head->second.stream.number);
    }
    qint64 headDueUs() const { return d->dueUs(d->waiting.begin()->first.time); }
    void set(qint64 us)
    {
        d->manualNowUs = us;
        d->pump();
    }
    zvr3player_private *d;
};

// The recorder's clock now, in whole seconds (the simulator's reads UTC).
qint64 nowSeconds() { return QDateTime::currentSecsSinceEpoch(); }

// Drives the clock until the player has released \a count items in all.
void driveTo(Driven &clock, const Watch &watch, qsizetype count)
{
    while (watch.items.size() < count) {
        QTRY_VERIFY_WITH_TIMEOUT(clock.settled(), Patience);
        clock.set(qMax(clock.headDueUs(), clock.d->manualNowUs));
    }
}

// The times of one stream's items from \a from on follow each other 40 ms apart: nothing lost,
// nothing twice.
bool unbroken(const Watch &watch, int stream, qsizetype from = 0)
{
    qint64 last = -1;
    for (qsizetype i = from; i < watch.items.size(); ++i) {
        const Released &r = watch.items[i];
        if (r.stream != stream)
            continue;
        if (last >= 0 && r.time - last != 40) {
            qWarning("stream %d: %lld after %lld", stream, r.time, last);
            return false;
        }
        last = r.time;
    }
    return last >= 0;
}

qint64 utcMs(qint64 seconds) { return seconds * 1000; }
}

class tst_zvr3player : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_sim.port != 0); }
    void live();
    void laterStream();
    void archive_data();
    void archive();
    void bounded();
    void timeZone_data();
    void timeZone();
    void archiveOutage();

private:
    Sim m_sim{{"--size", "320x180", "--archive-seconds", "90"}};
};

// Pictures of the channels chosen, none of the others; a new choice switches them over.
void tst_zvr3player::live()
{
    zvr3player player;
    Watch watch(player);
    QSignalSpy streams(&player, &zvr3player::streamsChanged);
    player.openLive(m_sim.url(), {0, 2});
    QCOMPARE(player.mode(), zvr3player::Live);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(0) >= 10 && watch.pictures(2) >= 10, Patience);
    QCOMPARE(watch.pictures(1) + watch.pictures(3), 0);
    QVERIFY(std::any_of(watch.items.cbegin(), watch.items.cend(), [](const Released &r) { return r.kind == 's' && r.stream == Audio; }));
    QCOMPARE(streams.count(), 1);
    QCOMPARE(player.streams().size(), 7);
    QCOMPARE(player.state(), zvr3stats::Streaming);
    // The times are the recorder's clock read as UTC (an empty rule): the present.
    QVERIFY(qAbs(watch.items.last().time - QDateTime::currentMSecsSinceEpoch()) < 60000);

    // Channel 3 is not among the four that a live open asks for, 1 is.
    player.setChannels({1, 3});
    const qsizetype from = watch.items.size();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(1, from) >= 10 && watch.pictures(3, from) >= 10, Patience);
    QCOMPARE(watch.pictures(0, from) + watch.pictures(2, from), 0);

    // Paused: the stream goes on underneath and nothing leaves; played: pictures again.
    player.pause();
    const qsizetype paused = watch.items.size();
    const qint64 decodedAtPause = player.stats().decoded;
    QTRY_VERIFY_WITH_TIMEOUT(player.stats().decoded >= decodedAtPause + 10, Patience);
    QCoreApplication::processEvents();
    QCOMPARE(watch.items.size(), paused);
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(1, paused) > 0, Patience);
    QCOMPARE(watch.errors.size(), 0);
    player.close();
    QCOMPARE(player.state(), zvr3stats::Closed);
    QCOMPARE(player.mode(), zvr3player::Idle);
}

// A stream that a later header adds gets a decoder of its own, which is handed that header: its
// records decode at once. A header that lists the same streams again changes nothing visible.
void tst_zvr3player::laterStream()
{
    zvr3player player;
    zvr3player_private *d = of(player);
    d->mode = zvr3player::Live;
    d->channels = {0};
    QSignalSpy streams(&player, &zvr3player::streamsChanged);
    QStringList texts;
    QObject::connect(&player, &zvr3player::text, &player, [&](int stream, const QString &text, const QDateTime &time) {
        texts << QStringLiteral("%1 %2 %3").arg(stream).arg(text, time.toString(Qt::ISODate));
    });
    const auto stream = [](int number, const char *codec) {
        STREAM_T s;
        s.number = number;
        s.type = 4;
        s.codec = QString::fromLatin1(codec);
        return s;
    };
    const auto record = [](int number, qint64 time, const QByteArray &text) {
        zvr3parser_combined_DATA_T r;
        r.part = 3;
        r.stream = uint(number);
        r.time = time;
        r.data = text;
        r.size = uint(text.size());
        return zvr3value(r);
    };
    HDR_T header;
    header.streams = {stream(65, "text")};
    d->fromChain(zvr3value(header));
    d->fromChain(record(65, 1000, "first"));
    // A header starts the stream's decoder afresh: what the old one had not yet put out may go.
    QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 1, Patience);
    d->fromChain(zvr3value(header));
    header.streams << stream(70, "text-utf8");
    d->fromChain(zvr3value(header));
    d->fromChain(record(70, 2000, "later"));
    d->fromChain(record(71, 2000, "unlisted"));
    QTRY_COMPARE_WITH_TIMEOUT(texts.size(), 2, Patience);
    QCOMPARE(texts, (QStringList{"65 first 1970-01-01T00:00:01Z", "70 later 1970-01-01T00:00:02Z"}));
    QCOMPARE(streams.count(), 2);
    QCOMPARE(player.streams().size(), 2);
}

void tst_zvr3player::archive_data()
{
    // Archive play on the test's clock, as the steps of a script: "rate:<r>" sets the rate (before
    // the open too); "open" opens the archive at the row's time ("open:<s>": ending s seconds later);
    // "drive:<n>" moves the clock from one item's due time to the next until n items have left in
    // all, "more:<n>" until n more have; "mid" moves it 10 ms on, between two items; "pause" pauses;
    // "held" checks that nothing is fetched or leaves however far the clock moves, even where the
    // buffer would take more; "play" plays on; "seek:<s>" seeks to s seconds ago ("seek:here": to
    // where it is); "end" drives until the end time and checks that nothing comes after it.
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<int>("ago");  // where the archive opens, in seconds before now
    QTest::addColumn<QString>("script");
    QTest::newRow("1x") << QList<int>{0, 1} << 60 << "open drive:120";
    QTest::newRow("4x") << QList<int>{0, 1} << 60 << "rate:4 open drive:120";
    QTest::newRow("quarter") << QList<int>{0, 1} << 60 << "rate:0.25 open drive:120";
    // A new rate mid-play goes on from where it stood; above 16 it is 16.
    QTest::newRow("rate change") << QList<int>{0} << 50 << "open drive:20 mid rate:4 rate:100 more:40";
    QTest::newRow("pause and play") << QList<int>{1} << 80 << "open drive:30 pause held play more:60";
    // A seek drops what is buffered and plays from the new time, its first item at once.
    QTest::newRow("seek forward") << QList<int>{2} << 70 << "open drive:30 seek:30 more:60";
    QTest::newRow("seek back") << QList<int>{2} << 30 << "open drive:30 seek:75 more:60";
    QTest::newRow("seek to where it is") << QList<int>{2} << 60 << "open drive:30 seek:here more:60";
    // The first seek is not answered yet when the second comes: only the second place plays.
    QTest::newRow("seek twice in a row") << QList<int>{2} << 70 << "open drive:30 seek:10 seek:40 more:60";
    // Paused, it stays paused; played, it goes on from the new place.
    QTest::newRow("seek while paused") << QList<int>{2} << 70 << "open drive:30 pause seek:30 held play more:60";
    QTest::newRow("end time") << QList<int>{0} << 40 << "open:3 end";
}

// Each item leaves exactly when the clock reaches the reading at which its stretch of play began,
// plus its distance from the stretch's place, divided by the rate; across streams in time order. A
// stretch begins with the open, a rate change, playing on after a pause (from where it stood) and
// a seek (from its first item, which lies at the time asked for).
void tst_zvr3player::archive()
{
    QFETCH(QList<int>, channels);
    QFETCH(int, ago);
    QFETCH(QString, script);
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    QSignalSpy rates(&player, &zvr3player::rateChanged);
    QSignalSpy pauses(&player, &zvr3player::pausedChanged);
    QSignalSpy finished(&player, &zvr3player::finished);
    player.setChannels(channels);
    const qint64 now = nowSeconds();
    struct Stretch
    {
        qsizetype from;   // its first item
        qint64 clockUs;   // the clock when it began
        double mediaMs;   // the recorded time it began at; -1: its first item's
        qreal rate;
        qint64 askedMs;   // the time an open or a seek asked for; -1: none
    };
    QList<Stretch> stretches;
    const auto place = [&] {  // the recorded time the clock stands at now
        const Stretch &s = stretches.last();
        const double media = s.mediaMs >= 0 ? s.mediaMs : double(watch.items.value(s.from).time);
        return media + double(clock.d->manualNowUs - s.clockUs) * s.rate / 1000;
    };
    double pausedAt = -1;
    qint64 seekedTo = -1;  // while paused
    qint64 handed = -1;    // the last record handed on while held
    qint64 endMs = -1;
    qsizetype lastSeek = 0;
    int rateChanges = 0;
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QString arg = step.section(QLatin1Char(':'), 1);
        const qsizetype before = watch.items.size();
        if (step.startsWith(QLatin1String("rate:"))) {
            const qreal rate = qMin(arg.toDouble(), 16.0);
            const double media = stretches.isEmpty() ? 0 : place();
            rateChanges += rate != player.rate();
            player.setRate(arg.toDouble());
            QCOMPARE(player.rate(), rate);
            QCOMPARE(watch.items.size(), before);
            if (!stretches.isEmpty())
                stretches << Stretch{before, clock.d->manualNowUs, media, rate, -1};
        } else if (step.startsWith(QLatin1String("open"))) {
            const QDateTime from = QDateTime::fromSecsSinceEpoch(now - ago, QTimeZone::utc());
            endMs = arg.isEmpty() ? -1 : utcMs(now - ago + arg.toInt());
            player.openArchive(m_sim.url(), from, arg.isEmpty() ? QDateTime() : from.addSecs(arg.toInt()));
            stretches << Stretch{0, clock.d->manualNowUs, -1, player.rate(), utcMs(now - ago)};
        } else if (step.startsWith(QLatin1String("drive:")) || step.startsWith(QLatin1String("more:"))) {
            const qsizetype count = (step.startsWith(QLatin1String("more:")) ? before : 0) + arg.toInt();
            while (watch.items.size() < count) {
                QTRY_VERIFY_WITH_TIMEOUT(clock.settled(), Patience);
                const qint64 due = clock.headDueUs();
                const qsizetype waiting = watch.items.size();
                if (due > clock.d->manualNowUs) {
                    clock.set(due - 1);
                    QCOMPARE(watch.items.size(), waiting);
                }
                clock.set(qMax(due, clock.d->manualNowUs));
                QVERIFY(watch.items.size() > waiting);
            }
        } else if (step == QLatin1String("mid")) {
            clock.set(clock.d->manualNowUs + 10000);
        } else if (step == QLatin1String("pause")) {
            pausedAt = place();
            player.pause();
            QVERIFY(player.isPaused());
        } else if (step == QLatin1String("held")) {
            clock.d->maxBuffered = 1000000;
            clock.d->maxBufferedMs = 1000000000;
            clock.d->updateHold();
            QVERIFY(!clock.d->holding);
            auto *net = zvr3supervisor_private::of(player.supervisor())->archive.data();
            QTRY_COMPARE_WITH_TIMEOUT(net->currentState(), int(zvr3net_archive_priv::Paused), Patience);
            const qint64 bytes = player.stats().bytesReceived;
            handed = clock.d->lastHandedMs;
            clock.set(clock.d->manualNowUs + 20000000);  // releases what is due at once, were it not paused
            QCoreApplication::processEvents();
            QCOMPARE(watch.items.size(), before);
            QCOMPARE(player.stats().bytesReceived, bytes);
            QCOMPARE(net->currentState(), int(zvr3net_archive_priv::Paused));
        } else if (step == QLatin1String("play")) {
            player.play();
            stretches << Stretch{before, clock.d->manualNowUs, seekedTo >= 0 ? -1 : pausedAt, player.rate(), seekedTo};
            seekedTo = -1;
        } else if (step.startsWith(QLatin1String("seek:"))) {
            const QDateTime target = arg == QLatin1String("here") ? player.position()
                                                                 : QDateTime::fromSecsSinceEpoch(now - arg.toInt(), QTimeZone::utc());
            player.seek(target);
            QCOMPARE(player.position(), target);  // at once, before anything from there
            lastSeek = before;
            if (player.isPaused())
                seekedTo = target.toMSecsSinceEpoch();
            else
                stretches << Stretch{before, clock.d->manualNowUs, -1, player.rate(), target.toMSecsSinceEpoch()};
        } else {
            QCOMPARE(step, QStringLiteral("end"));
            while (finished.isEmpty()) {
                QTRY_VERIFY_WITH_TIMEOUT(clock.settled() || !finished.isEmpty(), Patience);
                if (finished.isEmpty())
                    clock.set(clock.headDueUs());
            }
            QCOMPARE(watch.items.last().time, endMs - 40);
            clock.set(clock.d->manualNowUs + 10000000);
            QCoreApplication::processEvents();
            QCOMPARE(watch.items.last().time, endMs - 40);
        }
        if (QTest::currentTestFailed())
            return;
    }
    for (int k = 0; k < stretches.size(); ++k) {
        const Stretch &s = stretches[k];
        const qsizetype end = k + 1 < stretches.size() ? stretches[k + 1].from : watch.items.size();
        if (s.from == end)
            continue;  // overtaken by a later seek
        const qint64 first = watch.items[s.from].time;
        // The chunk that holds the time asked for starts at most two seconds before it.
        if (s.askedMs >= 0)
            QVERIFY2(first >= s.askedMs - 2000 && first <= s.askedMs + 1000, qPrintable(QString::number(first - s.askedMs)));
        const double media = s.mediaMs >= 0 ? s.mediaMs : double(first);
        for (qsizetype i = s.from; i < end; ++i)
            QCOMPARE(watch.items[i].clockUs, s.clockUs + qint64(double(watch.items[i].time - media) * 1000 / s.rate));
    }
    // Pictures of the channels chosen and of no other, nothing lost or doubled since the last seek.
    int chosen = 0;
    for (const int channel : std::as_const(channels)) {
        QVERIFY(unbroken(watch, channel, lastSeek) && watch.pictures(channel) > 10);
        chosen += watch.pictures(channel);
    }
    QCOMPARE(chosen, int(std::count_if(watch.items.cbegin(), watch.items.cend(), [](const Released &r) { return r.kind == 'p'; })));
    QVERIFY(unbroken(watch, Audio, lastSeek));
    QCOMPARE(player.position().toMSecsSinceEpoch(), watch.items.last().time);
    if (handed >= 0)
        QTRY_VERIFY_WITH_TIMEOUT(clock.d->lastHandedMs > handed, Patience);
    QCOMPARE(rates.count(), rateChanges);
    QCOMPARE(pauses.count(), int(script.count(QLatin1String("pause")) + script.count(QLatin1String("play"))));
    QCOMPARE(finished.count(), endMs >= 0 ? 1 : 0);
}

// At 16x with a clock that runs slowly, the fetch waits for the buffer: what waits (items and
// records in the decoders) never goes past the bound by more than the chunk under way.
void tst_zvr3player::bounded()
{
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    player.setRate(16);
    player.setChannels({0, 1});
    const qint64 start = nowSeconds() - 85;
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(start, QTimeZone::utc()));
    bool held = false;
    int most = 0;
    while (watch.items.isEmpty() || watch.items.last().time < utcMs(start + 20)) {
        QTRY_VERIFY_WITH_TIMEOUT(clock.settled(), Patience);
        clock.set(clock.headDueUs());
        held = held || clock.d->holding;
        most = qMax(most, clock.d->buffered());
    }
    // A chunk of the simulator: two seconds of two channels, sound and positions, 25 a second.
    constexpr int Chunk = 2 * (3 * 25 + 2);
    QVERIFY(held);
    QVERIFY2(clock.d->highWater <= clock.d->maxBuffered + Chunk, qPrintable(QString::number(clock.d->highWater)));
    QVERIFY(most > 0);
    QVERIFY(unbroken(watch, 0) && unbroken(watch, 1));
}

void tst_zvr3player::timeZone_data()
{
    QTest::addColumn<QString>("rule");
    QTest::newRow("UTC") << QString();
    QTest::newRow("east, summer time") << QStringLiteral("UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    QTest::newRow("west") << QStringLiteral("UTC+5");
}

// The time asked for becomes the recorder's clock reading, the records' times UTC again: the
// first item lies at the time asked for, live items at the present.
void tst_zvr3player::timeZone()
{
    QFETCH(QString, rule);
    const zvr3tz tz(rule.isEmpty() ? "UTC-0UTC-0" : rule.toLatin1().constData());
    // The simulator's clock is the recorder's: a minute ago on it is this UTC time.
    const qint64 recorder = nowSeconds() - 60;
    const qint64 utc = rule.isEmpty() ? recorder : qint64(tz.toGMT(static_cast<unsigned long>(recorder)));
    zvr3player player;
    player.setTimeZoneRule(rule);
    Watch watch(player);
    Driven clock(player);
    player.setChannels({0});
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(utc, QTimeZone::utc()));
    QTRY_VERIFY_WITH_TIMEOUT(!watch.items.isEmpty(), Patience);
    const qint64 first = watch.items.first().time;
    QVERIFY2(first >= utcMs(utc - 2) && first <= utcMs(utc + 1), qPrintable(QString::number(first - utcMs(utc))));
    QCOMPARE(player.position().toMSecsSinceEpoch(), first);
    QCOMPARE(player.position().timeSpec(), Qt::UTC);

    player.openLive(m_sim.url(), {0});
    const qsizetype from = watch.items.size();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(0, from) > 0, Patience);
    const qint64 now = rule.isEmpty() ? nowSeconds() : qint64(tz.toGMT(static_cast<unsigned long>(nowSeconds())));
    QVERIFY(qAbs(watch.items.last().time - utcMs(now)) < 30000);
}

// The recorder goes down while the archive plays: the player goes on where it was, at its pace,
// with nothing lost or doubled.
void tst_zvr3player::archiveOutage()
{
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    player.supervisor()->setInitialDelay(100);
    player.setChannels({3});
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(nowSeconds() - 70, QTimeZone::utc()));
    driveTo(clock, watch, 30);
    m_sim.signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(watch.states.contains(zvr3stats::WaitingToReconnect), Patience);
    m_sim.signal(SIGUSR2);
    // What was buffered plays on meanwhile; then the records of the new connection.
    while (player.stats().reconnects == 0 && !QTest::currentTestFailed())
        driveTo(clock, watch, watch.items.size() + 1);
    driveTo(clock, watch, watch.items.size() + 150);
    QCOMPARE(player.state(), zvr3stats::Streaming);
    const qint64 first = watch.items.first().time;
    for (const Released &r : std::as_const(watch.items))
        QCOMPARE(r.clockUs, (r.time - first) * 1000);
    QVERIFY(unbroken(watch, 3) && unbroken(watch, Audio));
}

QTEST_MAIN(tst_zvr3player)
#include "tst_zvr3player.moc"
