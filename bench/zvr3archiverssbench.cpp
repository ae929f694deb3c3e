// How much memory playing an archive through decoders takes, without and with the supervisor's
// back-pressure.
//
//   zvr3archiverssbench
//
// The recorder simulator runs in-process on a thread of its own with its default recorder: 4
// channels of 640x360 (three H.264, the last MJPEG) and sound, with 120 s of archive. A
// zvr3net_archive plays 110 s of it from 115 s ago, as fast as the recorder answers, into one
// zvr3decoder per video channel and one for the sound; the decoded pictures and sound buffers are
// only counted. Three cases:
//
//   backpressure:0   the plain chain, archive -> decoders: the fetch never waits for the
//                    decoders, so their input queues hold whatever has arrived and is not yet
//                    decoded;
//   backpressure:50  archive -> zvr3supervisor -> decoders, with addDecoder() for each decoder
//                    and setBackPressure(50): the fetch pauses after the chunk under way while a
//                    decoder holds 50 waiting records, and goes on when all are down to 25;
//   backpressure:200 the same with a limit of four chunks (a chunk is 2 s, 50 frames a channel).
//
// Each case runs in a child process (the benchmark starts itself again with --rss-case=N), so
// that neither the peak of the process nor memory that the allocator keeps from one case skews
// the other. Counters:
//   peak_rss_mb    the largest VmRSS sampled (every 5 ms, on a thread of its own) from play to the
//                  last picture
//   base_rss_mb    VmRSS just before play: the simulator with its encoded loops, the connection
//   hwm_mb         the child's VmHWM at the end (the simulator's encoding at start-up included)
//   peak_queued    the largest number of records waiting in all decoders together, read after
//                  every record handed to them and every 10 ms
//   peak_queued_max  the same for the single decoder that held the most
//   peak_posted    the most items decoded but not yet taken by the application's thread (each
//                  picture is a 640x360 ARGB32 QImage, 900 KB), read at the same moments
//   pictures       pictures decoded (11,000 expected: 110 s x 25 frames x 4 channels)
//   sounds         sound buffers decoded (2,750 expected)
//   dropped        records the decoders dropped (must be 0: they have no queue limit)
// The iteration time is the wall time from play to the last picture counted.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "zvr3benchsim.h"
#include "zvr3decoder.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3net_archive.h"
#include "zvr3records.h"
#include "zvr3sound_buffer.h"
#include "zvr3supervisor.h"
#include "zvr3value.h"

namespace {

constexpr int Channels = 4;
constexpr int PlaySeconds = 110;
constexpr int StartAgoSeconds = 115;   // within the simulator's 120 s of history
constexpr int DeadlineMs = 600000;     // only a broken set-up reaches it
constexpr char CaseOption[] = "--rss-case=";

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), -1 when it cannot be read.
qint64 statusKb(const char *field)
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    const size_t n = std::strlen(field);
    qint64 kb = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            kb = std::strtoll(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kb;
}

// Samples VmRSS every few milliseconds on a thread of its own, so that a busy event loop does not
// leave out the peak.
class RssSampler
{
public:
    RssSampler()
        : m_thread([this] {
              while (!m_stop.load()) {
                  const qint64 kb = statusKb("VmRSS");
                  if (kb > m_peak.load())
                      m_peak.store(kb);
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          })
    {
    }
    ~RssSampler() { stop(); }
    qint64 stop()
    {
        m_stop.store(true);
        if (m_thread.joinable())
            m_thread.join();
        return m_peak.load();
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_peak{0};
    std::thread m_thread;
};

struct Result
{
    qint64 peakRssKb = 0;
    qint64 baseRssKb = 0;
    qint64 hwmKb = 0;
    qint64 peakQueued = 0;
    qint64 peakQueuedMax = 0;
    qint64 peakPosted = 0;
    qint64 items = 0;
    qint64 pictures = 0;
    qint64 sounds = 0;
    qint64 dropped = 0;
    qint64 handed = 0;   // records of the decoders' streams handed to them
    qint64 taken = 0;    // decoded + dropped + queued over the decoders at the end
    double wallSeconds = 0;
    QString error;
};

// One case, in this process: plays PlaySeconds of the archive into the decoders and waits until
// every record handed to them has come out.
Result runCase(int backPressure)
{
    Result r;
    // The simulator's default recorder: three H.264 channels, the last MJPEG, and its history.
    zvr3sim::Options options;
    options.channels = Channels;
    options.size = QSize(640, 360);
    options.quiet = true;
    zvr3bench::SimThread sim(options);
    if (!sim.error().isEmpty()) {
        r.error = sim.error();
        return r;
    }

    std::vector<std::unique_ptr<zvr3decoder>> decoders;
    for (int c = 0; c < Channels; ++c)
        decoders.push_back(std::make_unique<zvr3decoder>(c));
    decoders.push_back(std::make_unique<zvr3decoder>(zvr3sim::AudioStream));
    for (const auto &d : decoders) {
        QObject::connect(d.get(), &zvr3base::sigData, d.get(), [&r](const QVariant &value) {
            if (const auto item = zvr3take<zvr3item>(value)) {
                ++r.items;
                if (item->value.userType() == QMetaType::QImage)
                    ++r.pictures;
                else if (zvr3holds<zvr3sound_buffer>(item->value))
                    ++r.sounds;
            }
        });
    }

    zvr3net_archive archive;
    std::unique_ptr<zvr3supervisor> supervisor;
    zvr3base *head = &archive;
    if (backPressure > 0) {
        supervisor = std::make_unique<zvr3supervisor>(&archive);
        for (const auto &d : decoders)
            supervisor->addDecoder(d.get());
        supervisor->setBackPressure(backPressure);
        head = supervisor.get();
    }

    // Play from a whole second StartAgoSeconds ago; everything from PlaySeconds later on is not
    // handed to the decoders, and the source is closed when it begins.
    const qint64 from = QDateTime::currentSecsSinceEpoch() - StartAgoSeconds;
    const qint64 endMs = (from + PlaySeconds) * 1000;
    bool ended = false;
    QEventLoop loop;
    const auto sampleQueues = [&] {
        qint64 sum = 0;
        qint64 most = 0;
        qint64 decoded = 0;
        for (const auto &d : decoders) {
            const zvr3decoder_counters c = d->counters();
            sum += c.queued;
            most = std::max(most, c.queued);
            decoded += c.decoded;
        }
        r.peakPosted = std::max(r.peakPosted, decoded - r.items);
        r.peakQueued = std::max(r.peakQueued, sum);
        r.peakQueuedMax = std::max(r.peakQueuedMax, most);
    };
    QObject::connect(head, &zvr3base::sigData, &loop, [&](const QVariant &value) {
        if (ended)
            return;
        if (const auto error = zvr3take<zvr3error>(value)) {
            r.error = QStringLiteral("source error %1: %2").arg(error->code).arg(error->text);
            loop.quit();
            return;
        }
        qint64 timeMs = -1;
        bool data = false;   // a whole frame of a decoded stream (texts and positions are not)
        if (const auto idx = zvr3take<IDX_T>(value)) {
            timeMs = qint64(idx->time) * 1000;
        } else if (const auto record = zvr3take<zvr3parser_combined_DATA_T>(value)) {
            timeMs = record->time;
            data = record->stream < unsigned(Channels) || record->stream == unsigned(zvr3sim::AudioStream);
        } else if (const auto part = zvr3take<DATA_T>(value)) {
            timeMs = part->time;
        }
        if (timeMs >= endMs) {
            ended = true;
            QMetaObject::invokeMethod(head, [head] {
                if (auto *s = qobject_cast<zvr3supervisor *>(head))
                    s->close();
                else
                    static_cast<zvr3net_archive *>(head)->close();
            }, Qt::QueuedConnection);
            return;
        }
        for (const auto &d : decoders)
            d->slotData(value);
        if (data) {
            ++r.handed;
            sampleQueues();
        }
    });
    // Done when the end was seen and every decoder has emptied its queue: the items it emitted are
    // then already posted to this thread, so a call queued now comes after the last of them.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        sampleQueues();
        if (!ended)
            return;
        for (const auto &d : decoders) {
            if (d->counters().queued > 0)
                return;
        }
        poll.stop();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(DeadlineMs, &loop, [&] {
        r.error = QStringLiteral("the playback did not end in time");
        loop.quit();
    });

    r.baseRssKb = statusKb("VmRSS");
    RssSampler sampler;
    QElapsedTimer wall;
    wall.start();
    const QDateTime at = QDateTime::fromSecsSinceEpoch(from, Qt::UTC);
    if (supervisor) {
        supervisor->open(sim.url());
        supervisor->play(at);
    } else {
        archive.open(sim.url());
        archive.play(at);
    }
    poll.start(10);
    loop.exec();
    r.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    r.peakRssKb = sampler.stop();
    r.hwmKb = statusKb("VmHWM");
    for (const auto &d : decoders) {
        const zvr3decoder_counters c = d->counters();
        r.dropped += c.dropped;
        r.taken += c.decoded + c.dropped + c.queued;
    }
    return r;
}

// The child: runs one case and prints its figures on one line of "name=value" pairs.
int childMain(int argc, char **argv, int backPressure)
{
    zvr3bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);   // the simulator draws its pictures with QPainter
    const Result r = runCase(backPressure);
    if (!r.error.isEmpty()) {
        std::printf("error %s\n", qPrintable(r.error));
        return 1;
    }
    const auto ll = [](qint64 v) { return static_cast<long long>(v); };
    std::printf("result peak_rss_kb=%lld base_rss_kb=%lld hwm_kb=%lld peak_queued=%lld peak_queued_max=%lld "
                "peak_posted=%lld pictures=%lld sounds=%lld dropped=%lld handed=%lld taken=%lld wall_s=%.3f\n",
                ll(r.peakRssKb), ll(r.baseRssKb), ll(r.hwmKb), ll(r.peakQueued), ll(r.peakQueuedMax),
                ll(r.peakPosted), ll(r.pictures), ll(r.sounds), ll(r.dropped), ll(r.handed), ll(r.taken),
                r.wallSeconds);
    return 0;
}

void BM_ArchiveRss(benchmark::State &state)
{
    const int backPressure = int(state.range(0));
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(CaseOption) + QString::number(backPressure)});
        if (!child.waitForFinished(DeadlineMs + 60000)) {
            state.SkipWithError("the child process did not finish");
            break;
        }
        const QByteArray out = child.readAllStandardOutput().trimmed();
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || !out.startsWith("result ")) {
            state.SkipWithError(out.isEmpty() ? "the child process failed" : out.constData());
            break;
        }
        QHash<QByteArray, double> v;
        for (const QByteArray &pair : out.mid(7).split(' ')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq > 0)
                v.insert(pair.left(eq), pair.mid(eq + 1).toDouble());
        }
        state.counters["peak_rss_mb"] = v.value("peak_rss_kb") / 1024;
        state.counters["base_rss_mb"] = v.value("base_rss_kb") / 1024;
        state.counters["hwm_mb"] = v.value("hwm_kb") / 1024;
        for (const char *name : {"peak_queued", "peak_queued_max", "peak_posted", "pictures", "sounds", "dropped"})
            state.counters[name] = v.value(name);
        state.SetIterationTime(v.value("wall_s"));
        const double expected = double(PlaySeconds) * zvr3sim::FramesPerSecond * Channels;
        if (v.value("dropped") != 0 || v.value("handed") != v.value("taken") || v.value("pictures") != expected) {
            state.SkipWithError("records were lost: not every frame of the period was decoded");
            break;
        }
    }
}

} // namespace

BENCHMARK(BM_ArchiveRss)
    ->ArgName("backpressure")
    ->Arg(0)
    ->Arg(50)
    ->Arg(200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], CaseOption, sizeof CaseOption - 1) == 0)
            return childMain(argc, argv, std::atoi(argv[i] + sizeof CaseOption - 1));
    }
    QCoreApplication app(argc, argv);
    return zvr3bench::runBenchmarks(argc, argv);
}
