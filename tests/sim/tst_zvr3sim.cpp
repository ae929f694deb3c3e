#include <QtTest>

#include <csignal>

#include "evtparser.h"
#include "simsource.h"
#include "zvr3command.h"
#include "zvr3decoder.h"
#include "zvr3error.h"
#include "zvr3events.h"
#include "zvr3item.h"
#include "zvr3jpeg.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3parser.h"
#include "zvr3position_info.h"
#include "zvr3setup.h"
#include "zvr3sound_buffer.h"
#include "zvr3testsim.h"
#include "zvr3testutil.h"

namespace {

using zvr3test::Sim;

// Only a failing test waits this long: the simulator and the decoders may be slow on a loaded machine.
constexpr int Patience = 30000;

// The values of type T a node emits: how many, the first, and the last few. Pictures are big, and a
// live stream brings 50 a second: the test keeps no more of them than it compares.
template <typename T>
struct Tap
{
    explicit Tap(zvr3base &node, qsizetype keep = 6)
    {
        QObject::connect(&node, &zvr3base::sigData, &node, [this, keep](const QVariant &v) {
            if (!zvr3holds<T>(v))
                return;
            if (count++ == 0)
                first = v.value<T>();
            values.append(v.value<T>());
            if (values.size() > keep)
                values.removeFirst();
        });
    }
    const T &last(qsizetype back = 0) const { return values.at(values.size() - 1 - back); }
    qsizetype count = 0;
    T first{};
    QList<T> values;  // the last ones, oldest first
};

// A decoder of one stream behind a node, and the items it emits.
struct Decoded
{
    Decoded(zvr3base &from, int stream, qsizetype keep = 6) : decoder(stream), items(decoder, keep)
    {
        QObject::connect(&from, &zvr3base::sigData, &decoder, &zvr3base::slotData);
    }
    zvr3decoder decoder;
    Tap<zvr3item> items;
    QImage last(qsizetype back = 0) const { return items.last(back).value.value<QImage>(); }
};

// The live stream tick by tick: each tick brings the frames of the channels chosen, in channel
// order, then 40 ms of sound. Per tick, the set of channels as bits; and the largest whole frame.
struct Ticks
{
    explicit Ticks(zvr3base &parser)
    {
        QObject::connect(&parser, &zvr3base::sigData, &parser, [this](const QVariant &v) {
            if (!zvr3holds<zvr3parser_combined_DATA_T>(v))
                return;
            const auto frame = v.value<zvr3parser_combined_DATA_T>();
            if (frame.stream == zvr3sim::AudioStream) {
                channels.append(current);
                current = 0;
            } else if (frame.stream < 32) {
                current |= 1u << frame.stream;
                largest = qMax(largest, frame.data.size());
            }
        });
    }
    QList<quint32> channels;
    quint32 current = 0;
    qsizetype largest = 0;
};

// Pictures whose pixels differ: something was drawn, not a flat or black frame.
bool hasContent(const QImage &image)
{
    const QImage small = image.scaled(16, 9).convertToFormat(QImage::Format_RGB32);
    const auto *pixels = reinterpret_cast<const QRgb *>(small.constBits());
    return QSet<QRgb>(pixels, pixels + 16 * 9).size() > 20;
}
}

// The library against the recorder simulator, service by service, on loopback: one simulator for
// the run, with four channels, channel 2 without signal and channel 3 disabled; the fault options
// on a simulator of their own.
class tst_zvr3sim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_sim.port != 0); }
    void cleanupTestCase() { QVERIFY(m_sim.stop()); }
    void live();
    void archive();
    void events();
    void setup();
    void snapshot_data();
    void snapshot();
    void faults_data();
    void faults();
    void liveStall();

private:
    Sim m_sim{{"--size", "640x360", "--no-signal", "2", "--disabled", "3", "--archive-seconds", "60"}};
};

// What only this suite looks at in the live stream: the sound, the texts, the positions, frames
// bigger than a record, a picture that moves, and channels left out on request (the player leaves
// out what it was not asked for by itself). Frame pacing, picture sizes and content and the
// recorder's clock are left to the player's and the viewer's checks against the same simulator.
void tst_zvr3sim::live()
{
    zvr3online source;
    zvr3parser parser;
    QObject::connect(&source, &zvr3base::sigData, &parser, &zvr3base::slotData);
    // A whole loop of the sound, two seconds, to find both beeps and silence in it.
    Decoded h264(parser, 0), sound(parser, zvr3sim::AudioStream, zvr3sim::LoopFrames), text(parser, zvr3sim::TextStream),
        nmea(parser, zvr3sim::NmeaStream);
    Ticks ticks(parser);
    Tap<zvr3error> errors(source);
    source.slotData(zvr3value(zvr3command(2, m_sim.url())));
    // A text event comes every five seconds.
    QTRY_VERIFY_WITH_TIMEOUT(h264.items.count >= 25 && text.items.count > 0 && nmea.items.count >= 2 && sound.items.count >= 25,
                             Patience);
    QCOMPARE(errors.count, 0);
    // The picture moves, in a loop of two seconds.
    const auto other = std::find_if(h264.items.values.cbegin(), h264.items.values.cend(), [&](const zvr3item &item) {
        return (h264.items.last().time - item.time) % 2000 != 0;
    });
    QVERIFY(other != h264.items.values.cend() && other->value.value<QImage>() != h264.last());
    // Records hold 65,535 bytes at most: the bigger MJPEG frames came in parts, and were put together.
    QVERIFY(ticks.largest > 65535);

    // Beeps of a 500 Hz tone (about 18,000 from peak to peak) and silence. A decoder that joins in
    // the middle may carry a constant offset, so the swing is measured, not the level.
    int loudest = 0;
    int quiet = 0;
    for (const zvr3item &item : std::as_const(sound.items.values)) {
        const zvr3sound_buffer pcm = item.value.value<zvr3sound_buffer>();
        QCOMPARE(pcm.rate, 8000);
        QCOMPARE(pcm.data.size(), 320 * 2);
        const auto *s = reinterpret_cast<const qint16 *>(pcm.data.constData());
        const auto [low, high] = std::minmax_element(s, s + pcm.data.size() / 2);
        loudest = qMax(loudest, *high - *low);
        quiet += *high - *low < 200;
    }
    QVERIFY2(loudest > 12000 && loudest < 24000, qPrintable(QString::number(loudest)));
    QVERIFY(quiet > 0);
    QVERIFY(text.items.first.value.toString().startsWith(QLatin1String("Motion detected on channel ")));
    QCOMPARE(text.items.first.time % 5000, qint64(0));
    const zvr3position_info position = nmea.items.last().value.value<zvr3position_info>();
    const double north = position.latitude - zvr3sim::RouteLatitude;  // on the circle of the route
    const double east = (position.longitude - zvr3sim::RouteLongitude) * std::cos(zvr3sim::RouteLatitude * M_PI / 180);
    QVERIFY(position.valid && position.speed > 0 && std::fabs(std::hypot(north, east) - zvr3sim::RouteRadius) < 0.0005);
    QCOMPARE(position.satellites, 8);

    // Channels 1 and 3 dropped, then 1 taken again. The ticks show when the recorder has taken each
    // request: all four channels, then 0 and 2 only, then 0, 1 and 2; never 3 again.
    const quint32 all = 0b1111, dropped = 0b0101, back = 0b0111;
    QCOMPARE(ticks.channels.last(), all);
    const qsizetype before = ticks.channels.size();
    source.slotData(zvr3value(zvr3command(6, QByteArray("\x01\x03", 2))));
    QTRY_VERIFY_WITH_TIMEOUT(ticks.channels.mid(before).contains(dropped), Patience);
    source.slotData(zvr3value(zvr3command(7, QByteArray("\x01", 1))));
    QTRY_VERIFY_WITH_TIMEOUT(ticks.channels.count(back) >= 10, Patience);
    QList<quint32> seen = ticks.channels.mid(before - 1);
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    QCOMPARE(seen, (QList<quint32>{all, dropped, back}));
}

// The archive's index, a record a second from the time asked for on, and the positions the route
// had then. Its pictures are the player's and the viewer's to look at.
void tst_zvr3sim::archive()
{
    zvr3net_archive archive;
    Decoded h264(archive, 0), nmea(archive, zvr3sim::NmeaStream);
    Tap<IDX_T> seconds(archive, 1000);
    Tap<zvr3error> errors(archive);
    // Half a minute back: before the simulator started, from the history it made at start.
    const QDateTime from = QDateTime::currentDateTimeUtc().addSecs(-30);
    archive.slotData(zvr3value(zvr3command(2, m_sim.url())));
    archive.slotData(zvr3value(zvr3command(4, from)));
    QTRY_VERIFY_WITH_TIMEOUT(h264.items.count >= 100 && nmea.items.count >= 4, Patience);
    QCOMPARE(errors.count, 0);
    // One second after the other.
    QCOMPARE(qint64(seconds.first.time), from.toSecsSinceEpoch());
    QCOMPARE(seconds.values.size(), seconds.count);
    for (int i = 1; i < seconds.values.size(); ++i)
        QCOMPARE(seconds.values[i].time, seconds.values[i - 1].time + 1);
    QCOMPARE(h264.items.first.time, from.toSecsSinceEpoch() * 1000);
    const zvr3position_info p = nmea.items.first.value.value<zvr3position_info>();
    double latitude = 0;
    double longitude = 0;
    zvr3sim::routePosition(from.toSecsSinceEpoch(), &latitude, &longitude);
    QVERIFY(std::fabs(p.latitude - latitude) < 1e-4 && std::fabs(p.longitude - longitude) < 1e-4);
}

void tst_zvr3sim::events()
{
    zvr3events events;
    Tap<EVENTS_FILE_LIST_T> lists(events);
    // A period of 40 seconds that starts and ends with an event: there is one every five seconds.
    const qint64 to = QDateTime::currentSecsSinceEpoch() / 5 * 5 - 5;
    const QString query = QStringLiteral("from=%1&to=%2").arg(QDateTime::fromSecsSinceEpoch(to - 40, Qt::UTC).toString("yyyyMMddhhmmss"),
                                                              QDateTime::fromSecsSinceEpoch(to, Qt::UTC).toString("yyyyMMddhhmmss"));
    events.slotData(zvr3value(zvr3command(2, m_sim.url("pw", query))));
    QTRY_COMPARE_WITH_TIMEOUT(lists.count, 1, Patience);
    QCOMPARE(lists.values[0].size(), 9);
    // Their texts are the viewer's to check.
    for (int i = 0; i < 9; ++i)
        QCOMPARE(lists.values[0][i].time, (to - 40 + 5 * i) * 1000);
}

void tst_zvr3sim::setup()
{
    zvr3setup setup;
    QList<QVariant> out;
    connect(&setup, &zvr3base::sigData, this, [&](const QVariant &v) { out.append(v); });
    setup.slotData(zvr3value(zvr3command(2, m_sim.url())));
    // A refused request is the viewer's to check.
    for (const char *request : {"GET device.name", "SET device.name=lab", "GET device.name", "LIST",
                                "SET device.name=zvr3-sim"})  // the name back for whoever asks next
        setup.slotData(zvr3value(zvr3command(8, QByteArray(request) + "\r\n")));
    QTRY_COMPARE_WITH_TIMEOUT(out.size(), 5, Patience);
    QCOMPARE(out[0].toByteArray(), QByteArray("device.name=zvr3-sim\r\n"));
    QCOMPARE(out[1].toByteArray(), QByteArray("device.name=lab\r\n"));
    QCOMPARE(out[2].toByteArray(), QByteArray("device.name=lab\r\n"));
    for (const char *line : {"device.name=lab\r\n", "device.channels=4\r\n", "video.width=640\r\n", "video.height=360\r\n",
                             "time.zone=UTC\r\n"})
        QVERIFY2(out[3].toByteArray().contains(line), out[3].toByteArray().constData());
}

void tst_zvr3sim::snapshot_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("description");
    QTest::newRow("picture") << 0 << "ok";
    QTest::newRow("no signal") << 2 << "no signal";
    QTest::newRow("disabled") << 3 << "disabled";
}

void tst_zvr3sim::snapshot()
{
    QFETCH(int, channel);
    QFETCH(QString, description);
    zvr3jpeg jpeg;
    Tap<QImage> images(jpeg);
    jpeg.slotData(zvr3value(zvr3command(2, m_sim.url("pw", QStringLiteral("stream=%1&width=200&height=150&quality=80").arg(channel)))));
    QTRY_COMPARE_WITH_TIMEOUT(images.count, 1, Patience);
    QCOMPARE(images.values[0].text(QStringLiteral("description")), description);
    if (description == QLatin1String("ok"))
        QVERIFY(images.values[0].size() == QSize(200, 150) && hasContent(images.values[0]));
}

void tst_zvr3sim::faults_data()
{
    // A simulator of one small channel with the fault options, and a set-up node that takes the
    // steps, separated by "; ": "open", a request, "SIGUSR1" or "SIGUSR2" to the simulator, or a wait
    // for as many "values" from the node or "lines" from the simulator. What the node emits
    // (answers as they are, errors as their texts or socket error codes); the simulator's last line
    // as each value came ("": any); and all its lines in the end. %L is its listening line.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<QStringList>("lines");
    const QString width = QStringLiteral("video.width=64\r\n");
    const QString closed = QStringLiteral("socket error %1").arg(QAbstractSocket::RemoteHostClosedError);
    const QString refused = QStringLiteral("socket error %1").arg(QAbstractSocket::ConnectionRefusedError);
    // Answers 50 ms late, every tenth one noise, and the line dropped right after the tenth: the nine
    // answers, the noise and the drop come in that order. The request after them is never sent: it
    // waits behind the noise, which is no answer, and goes with the line. A new connection serves
    // what comes after it, and only that.
    QTest::newRow("slow, noise, dropped") << QStringList{"--slow", "50", "--garbage", "--drop-after", "10"}
        << "open; " + QStringLiteral("GET video.width; ").repeated(10) + "GET device.name; values 11; open; GET video.height; values 12"
        << (QStringList(9, width) << "Device data protocol error" << closed << "video.height=48\r\n") << QStringList()
        << QStringList{"%L"};
    // Every connection stalls after its second answer: nothing comes for a while, the line stays
    // open, and what was asked meanwhile comes after the stall, in order. The simulator says when a
    // stall ends before it sends anything again.
    const QString goesOn = QStringLiteral("zvr3-sim goes on with connection 1");
    QTest::newRow("stall") << QStringList{"--stall-after", "2", "--stall-ms", "300"}
        << "open; GET video.width; GET video.height; GET video.fps; GET audio.rate; values 4"
        << QStringList{width, "video.height=48\r\n", "video.fps=25\r\n", "audio.rate=8000\r\n"} << QStringList{"", "", goesOn, goesOn}
        << QStringList{"%L", "zvr3-sim stalls connection 1 for 300 ms", goesOn};
    // Down right after the second answer, which still comes: then the line closes and connections
    // are refused until the simulator listens again (on SIGUSR2; SIGUSR1 takes it down again,
    // dropping the line at once). The first answer may come after the simulator has answered the
    // second: the node asks on.
    const QString down = QStringLiteral("zvr3-sim down for 600000 ms");
    QTest::newRow("down") << QStringList{"--down-after", "2", "--down-ms", "600000"}
        << "open; GET video.width; GET video.width; values 3; open; GET video.width; values 4; SIGUSR2; lines 3; "
           "open; GET video.width; values 5; SIGUSR1; values 6; open; GET video.width; values 7; SIGUSR2; lines 5; "
           "open; GET video.width; values 8"
        << QStringList{width, width, closed, refused, width, closed, refused, width}
        << QStringList{"", down, down, down, "%L", down, down, "%L"} << QStringList{"%L", down, "%L", down, "%L"};
    // Down 100 ms after it began to listen, for 100 ms: it listens on the same port again by itself.
    QTest::newRow("down for a while") << QStringList{"--down-at", "100", "--down-ms", "100"}
        << "lines 3; open; GET video.width; values 1" << QStringList{width} << QStringList()
        << QStringList{"%L", "zvr3-sim down for 100 ms", "%L"};
}

void tst_zvr3sim::faults()
{
    QFETCH(QStringList, options);
    QFETCH(QString, steps);
    QFETCH(QStringList, said);
    QFETCH(QStringList, lines);
    Sim sim(QStringList{"--channels", "1", "--size", "64x48"} + options);
    QVERIFY(sim.port != 0);
    const QString listening = QStringLiteral("zvr3-sim listening on 127.0.0.1:%1").arg(sim.port);
    said.replaceInStrings("%L", listening);
    lines.replaceInStrings("%L", listening);
    zvr3setup setup;
    QStringList values;
    QStringList last;
    connect(&setup, &zvr3base::sigData, this, [&](const QVariant &v) {
        const zvr3error e = v.value<zvr3error>();
        values << (!zvr3holds<zvr3error>(v) ? QString::fromLatin1(v.toByteArray())
                   : e.code < 0             ? e.text
                                            : QStringLiteral("socket error %1").arg(e.code));
        last << sim.lines().value(sim.lines().size() - 1);
    });
    for (const QString &step : steps.split(QStringLiteral("; "))) {
        const int count = step.section(QLatin1Char(' '), 1).toInt();
        if (step == QLatin1String("open"))
            setup.slotData(zvr3value(zvr3command(2, sim.url())));
        else if (step.startsWith(QLatin1String("SIGUSR")))
            sim.signal(step.endsWith(QLatin1Char('1')) ? SIGUSR1 : SIGUSR2);
        else if (step.startsWith(QLatin1String("values ")))
            QTRY_COMPARE_WITH_TIMEOUT(values.size(), count, Patience);
        else if (step.startsWith(QLatin1String("lines ")))
            QTRY_COMPARE_WITH_TIMEOUT(sim.lines().size(), count, Patience);
        else
            setup.slotData(zvr3value(zvr3command(8, step.toLatin1() + "\r\n")));
    }
    QTEST(values, "values");
    for (int i = 0; i < said.size(); ++i)
        QVERIFY2(said[i].isEmpty() || last.value(i) == said[i], qPrintable(QStringLiteral("%1: %2").arg(i).arg(last.value(i))));
    QCOMPARE(sim.lines(), lines);
    QVERIFY(sim.stop());
}

void tst_zvr3sim::liveStall()
{
    // Live: the header is the first answer, the first tick the second. The sound of that one tick,
    // then the stall's frames are left out and the stream goes on at the start of a second. The
    // simulator says when the stall ends before it sends anything again, so a tick that came after
    // the stall finds the line there.
    Sim sim({"--channels", "1", "--size", "64x48", "--stall-after", "2", "--stall-ms", "300"});
    QVERIFY(sim.port != 0);
    zvr3online live;
    zvr3parser parser;
    QObject::connect(&live, &zvr3base::sigData, &parser, &zvr3base::slotData);
    Tap<zvr3error> errors(live);
    QList<qint64> times;
    QList<bool> afterStall;
    connect(&parser, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<zvr3parser_combined_DATA_T>(v) && v.value<zvr3parser_combined_DATA_T>().stream == zvr3sim::AudioStream) {
            times << v.value<zvr3parser_combined_DATA_T>().time;
            afterStall << sim.lines().contains("zvr3-sim goes on with connection 1");
        }
    });
    live.slotData(zvr3value(zvr3command(2, sim.url())));
    QTRY_VERIFY_WITH_TIMEOUT(times.size() >= 3, Patience);
    QCOMPARE(errors.count, 0);
    QVERIFY(sim.lines().contains("zvr3-sim stalls connection 1 for 300 ms"));
    QCOMPARE(afterStall.mid(1, 2), (QList<bool>{true, true}));
    QVERIFY2(times[1] > times[0] && times[1] % 1000 == 0 && times[2] > times[1],
             qPrintable(QStringLiteral("%1 %2 %3").arg(times[0]).arg(times[1]).arg(times[2])));
    QVERIFY(sim.stop());
}

QTEST_MAIN(tst_zvr3sim)
#include "tst_zvr3sim.moc"
