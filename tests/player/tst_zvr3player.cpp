#include <QtTest>

#include <csignal>

#include "zvr3net_archive_priv.h"
#include "zvr3player.h"
#include "zvr3player_priv.h"
#include "zvr3supervisor.h"
#include "zvr3supervisor_priv.h"
#include "zvr3testutil.h"
#include "zvr3tz.h"

namespace {

// A simulator on a free port of 127.0.0.1, for user "tester" with password "pw": four channels,
// sound on stream 64, texts on 65, positions on 66; its clock (the recorder's) reads UTC.
struct Sim
{
    explicit Sim(const QStringList &options)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(dir.filePath(QStringLiteral("out.txt")));
        process.start(QStringLiteral(ZVR3_SIM), QStringList{"--port", "0", "--user", "tester", "--password", "pw", "--quiet"} + options);
        const QDeadlineTimer deadline(60000);
        while (firstLine().isEmpty() && !process.waitForFinished(10) && !deadline.hasExpired()) {
        }
        const QString line = firstLine();
        if (line.startsWith(QLatin1String("zvr3-sim listening on 127.0.0.1:")))
            port = quint16(line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).toUInt());
    }
    QString firstLine() const
    {
        const QByteArray bytes = zvr3test::fileBytes(dir.filePath(QStringLiteral("out.txt")));
        return bytes.contains('\n') ? QString::fromUtf8(bytes.left(bytes.indexOf('\n'))) : QString();
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    ~Sim()
    {
        process.terminate();
        process.waitForFinished(20000);
    }
    QUrl url() const { return QUrl(QStringLiteral("tcp://tester:pw@127.0.0.1:%1").arg(port)); }
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
};

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
}

class tst_zvr3player : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_sim.port != 0); }
    void live();
    void pacing_data();
    void pacing();
    void outage();

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

    // Paused: nothing leaves; played: pictures again.
    player.pause();
    const qsizetype paused = watch.items.size();
    QTest::qWait(200);
    QCOMPARE(watch.items.size(), paused);
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(1, paused) > 0, Patience);
    QCOMPARE(watch.errors.size(), 0);
    player.close();
    QCOMPARE(player.state(), zvr3stats::Closed);
    QCOMPARE(player.mode(), zvr3player::Idle);
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

// The recorder goes down and comes back: the player reconnects and pictures come again.
void tst_zvr3player::outage()
{
    zvr3player player;
    Watch watch(player);
    player.supervisor()->setInitialDelay(100);
    player.openLive(m_sim.url(), {0});
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(0) > 5, Patience);
    m_sim.signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(watch.states.contains(zvr3stats::WaitingToReconnect), Patience);
    const qsizetype down = watch.items.size();
    m_sim.signal(SIGUSR2);
    QTRY_VERIFY_WITH_TIMEOUT(watch.pictures(0, down) > 5, Patience);
    QCOMPARE(player.state(), zvr3stats::Streaming);
    QVERIFY(player.stats().reconnects > 0);
    QVERIFY(!watch.errors.isEmpty());
}

QTEST_MAIN(tst_zvr3player)
#include "tst_zvr3player.moc"
