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
    void pacing_data();
    void pacing();
    void rateChange();
    void pauseResume();
    void seek_data();
    void seek();
    void endTime();
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

void tst_zvr3player::pacing_data()
{
    QTest::addColumn<qreal>("rate");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("4x") << 4.0;
    QTest::newRow("quarter") << 0.25;
}

// Each item leaves exactly when the clock reaches its distance from the first, divided by the
// rate; across streams in time order.
void tst_zvr3player::pacing()
{
    QFETCH(qreal, rate);
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    player.setRate(rate);
    player.setChannels({0, 1});
    const QDateTime from = QDateTime::fromSecsSinceEpoch(nowSeconds() - 60, QTimeZone::utc());
    player.openArchive(m_sim.url(), from);
    QTRY_VERIFY_WITH_TIMEOUT(!watch.items.isEmpty(), Patience);
    QCOMPARE(watch.items.first().clockUs, 0);
    const qint64 first = watch.items.first().time;
    while (watch.items.size() < 120) {
        QTRY_VERIFY_WITH_TIMEOUT(clock.settled(), Patience);
        const qint64 due = clock.headDueUs();
        const qsizetype before = watch.items.size();
        clock.set(due - 1);
        QCOMPARE(watch.items.size(), before);
        clock.set(due);
        QVERIFY(watch.items.size() > before);
    }
    for (qsizetype i = 0; i < watch.items.size(); ++i) {
        const Released &r = watch.items[i];
        QCOMPARE(r.clockUs, qint64(std::llround(double(r.time - first) * 1000 / rate)));
        if (i > 0)
            QVERIFY(r.time >= watch.items[i - 1].time);
    }
    QCOMPARE(watch.pictures(2) + watch.pictures(3), 0);
    QVERIFY(watch.pictures(0) > 10 && watch.pictures(1) > 10);
    QCOMPARE(player.position().toMSecsSinceEpoch(), watch.items.last().time);
    QVERIFY(watch.items.first().time >= from.toMSecsSinceEpoch() - 2000 && watch.items.first().time < from.toMSecsSinceEpoch() + 2000);
}

// A new rate mid-play: the position goes on from where it stood.
void tst_zvr3player::rateChange()
{
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    QSignalSpy rates(&player, &zvr3player::rateChanged);
    player.setChannels({0});
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(nowSeconds() - 50, QTimeZone::utc()));
    driveTo(clock, watch, 20);
    const qint64 at = clock.d->manualNowUs + 10000;  // between two items
    clock.set(at);
    const qint64 media = watch.items.first().time + at / 1000;
    const qsizetype before = watch.items.size();
    player.setRate(4);
    player.setRate(100);  // clamped to 16
    QCOMPARE(player.rate(), 16.0);
    QCOMPARE(rates.count(), 2);
    const qint64 at16 = clock.d->manualNowUs;
    QCOMPARE(watch.items.size(), before);
    driveTo(clock, watch, before + 40);
    for (qsizetype i = before; i < watch.items.size(); ++i)
        QCOMPARE(watch.items[i].clockUs, at16 + (watch.items[i].time - media) * 1000 / 16);
    QVERIFY(unbroken(watch, 0) && unbroken(watch, Audio));
}

// Paused: nothing leaves however far the clock moves, and the fetch stops even when the buffer
// would take more; played again: on from the same place, nothing lost or doubled.
void tst_zvr3player::pauseResume()
{
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    QSignalSpy pausedSpy(&player, &zvr3player::pausedChanged);
    player.setChannels({1});
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(nowSeconds() - 80, QTimeZone::utc()));
    driveTo(clock, watch, 30);
    player.pause();
    QVERIFY(player.isPaused());
    // From here on only the pause can hold the fetch back.
    clock.d->maxBuffered = 1000000;
    clock.d->maxBufferedMs = 1000000000;
    clock.d->updateHold();
    QVERIFY(!clock.d->holding);
    const qint64 pausedAt = clock.d->manualNowUs;
    const qsizetype before = watch.items.size();
    auto *net = zvr3supervisor_private::of(player.supervisor())->archive.data();
    QTRY_COMPARE_WITH_TIMEOUT(net->currentState(), int(zvr3net_archive_priv::Paused), Patience);
    const qint64 bytes = player.stats().bytesReceived;
    const qint64 handed = clock.d->lastHandedMs;
    clock.set(pausedAt + 20000000);  // releases what is due at once, were it not paused
    QCoreApplication::processEvents();
    QCOMPARE(watch.items.size(), before);
    QCOMPARE(player.stats().bytesReceived, bytes);
    QCOMPARE(net->currentState(), int(zvr3net_archive_priv::Paused));

    const qint64 resumedAt = clock.d->manualNowUs;
    player.play();
    driveTo(clock, watch, before + 60);
    QTRY_VERIFY_WITH_TIMEOUT(clock.d->lastHandedMs > handed, Patience);
    const qint64 media = watch.items.first().time + pausedAt / 1000;
    for (qsizetype i = before; i < watch.items.size(); ++i)
        QCOMPARE(watch.items[i].clockUs, resumedAt + (watch.items[i].time - media) * 1000);
    QVERIFY(unbroken(watch, 1) && unbroken(watch, Audio));
    QCOMPARE(pausedSpy.count(), 2);
}

void tst_zvr3player::seek_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");  // seconds ago; 0: the position the player is at
    QTest::addColumn<QString>("how");
    QTest::newRow("forward") << 70 << 30 << "once";
    QTest::newRow("back") << 30 << 75 << "once";
    QTest::newRow("to where it is") << 60 << 0 << "once";
    // The first seek is not answered yet when the second comes: only the second place plays.
    QTest::newRow("twice in a row") << 70 << 40 << "twice";
    // Paused, it stays paused; played, it goes on from the new place.
    QTest::newRow("while paused") << 70 << 30 << "paused";
}

// A seek drops what is buffered and plays from the new time, its first item at once.
void tst_zvr3player::seek()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, how);
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    player.setChannels({2});
    const qint64 now = nowSeconds();
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(now - from, QTimeZone::utc()));
    driveTo(clock, watch, 30);
    const qsizetype before = watch.items.size();
    const QDateTime target = to > 0 ? QDateTime::fromSecsSinceEpoch(now - to, QTimeZone::utc()) : player.position();
    if (how == QLatin1String("paused"))
        player.pause();
    if (how == QLatin1String("twice"))
        player.seek(QDateTime::fromSecsSinceEpoch(now - 10, QTimeZone::utc()));
    player.seek(target);
    if (how == QLatin1String("paused")) {
        // Nothing is fetched or released however far the clock moves.
        auto *net = zvr3supervisor_private::of(player.supervisor())->archive.data();
        QTRY_COMPARE_WITH_TIMEOUT(net->currentState(), int(zvr3net_archive_priv::Paused), Patience);
        clock.set(clock.d->manualNowUs + 20000000);
        QCoreApplication::processEvents();
        QCOMPARE(watch.items.size(), before);
        QVERIFY(player.isPaused());
        QCOMPARE(net->currentState(), int(zvr3net_archive_priv::Paused));
        player.play();
    }
    const qint64 seekedAt = clock.d->manualNowUs;
    QTRY_VERIFY_WITH_TIMEOUT(watch.items.size() > before, Patience);
    const Released first = watch.items[before];
    QCOMPARE(first.clockUs, seekedAt);
    // The chunk that holds the time asked for starts at most two seconds before it.
    const qint64 asked = target.toMSecsSinceEpoch();
    QVERIFY2(first.time >= asked - 2000 && first.time <= asked + 1000, qPrintable(QString::number(first.time - asked)));
    driveTo(clock, watch, before + 60);
    for (qsizetype i = before; i < watch.items.size(); ++i) {
        QVERIFY(watch.items[i].time >= first.time);
        QCOMPARE(watch.items[i].clockUs, seekedAt + (watch.items[i].time - first.time) * 1000);
    }
    QVERIFY(unbroken(watch, 2, before) && unbroken(watch, Audio, before));
}

// An end time: nothing at or after it leaves, and finished() says so.
void tst_zvr3player::endTime()
{
    zvr3player player;
    Watch watch(player);
    Driven clock(player);
    QSignalSpy finished(&player, &zvr3player::finished);
    player.setChannels({0});
    const qint64 start = nowSeconds() - 40;
    player.openArchive(m_sim.url(), QDateTime::fromSecsSinceEpoch(start, QTimeZone::utc()),
                       QDateTime::fromSecsSinceEpoch(start + 3, QTimeZone::utc()));
    while (finished.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(clock.settled() || !finished.isEmpty(), Patience);
        if (finished.isEmpty())
            clock.set(clock.headDueUs());
    }
    QVERIFY(!watch.items.isEmpty());
    QCOMPARE(watch.items.last().time, utcMs(start + 3) - 40);
    QVERIFY(unbroken(watch, 0));
    // Nothing more is fetched or released.
    clock.set(clock.d->manualNowUs + 10000000);
    QCoreApplication::processEvents();
    QCOMPARE(watch.items.last().time, utcMs(start + 3) - 40);
    QCOMPARE(finished.count(), 1);
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
