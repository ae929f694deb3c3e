// Many live channels end to end: the recorder simulator, running in this process on a thread of
// its own and replaying pre-encoded pictures, sends N channels at 25 frames per second over
// loopback; zvr3online -> zvr3parser -> one zvr3decoder per channel turns them into images on the
// application's thread.
//
//   zvr3livebench                       16 channels of 1280x720 H.264 at about 2 Mbit/s, 20 s
//   zvr3livebench --benchmark_filter=/4/ a quick run with 4 channels
//
// Reported per run (counters):
//   offered_fps        frames per second a recorder sends (channels x 25)
//   sent_fps           frames per second the simulator did send during the window (it leaves
//                      frames out when its thread falls behind the clock or a client lags)
//   kept_fps           frames per second written during the measured window whose images left
//                      the decoders (by GraceSeconds after the window's end)
//   worst_channel_fps  the same for the channel that got the fewest
//   delay_median_ms,   time from the simulator writing a frame to the socket to its image leaving
//   delay_p99_ms       the decoder node (the node's sigData on the application's thread), over
//                      the frames of the window
//   lib_cpu            CPU seconds per second of the process during the window, apart from the
//                      simulator's thread: the library, Qt's event delivery and FFmpeg (1.0 = one core)
//   ffmpeg_cpu         CPU seconds per second that plain libavcodec + libswscale need for the
//                      images the decoders put out during the window (decoding and conversion to
//                      BGRA, measured after the run on the same packets, one after the other)
//   outside_ffmpeg_cpu lib_cpu - ffmpeg_cpu: what the library costs around FFmpeg
//   cpu_ratio          lib_cpu / ffmpeg_cpu
//   ffmpeg_live_cpu    CPU seconds per second of plain libavcodec + libswscale doing the same
//                      channels live after the run: one thread a channel, each picture decoded
//                      and converted to BGRA when it is due, 25 a second, for a window as long
//                      (plainLiveDecode in zvr3benchplain.h). Unlike ffmpeg_cpu, it pays what
//                      the live shape costs any program: every channel's decoder state and
//                      pictures are cold again 40 ms later, after the other channels' turns
//   cpu_ratio_live     lib_cpu / ffmpeg_live_cpu
//   sim_cpu            the simulator thread's own CPU seconds per second
//   mbit_per_channel   the video bit rate of one channel's pre-encoded loop
//
// All channels are H.264 here (MPEG-4 when the FFmpeg build has no H.264 encoder): the simulator's
// MJPEG channel would send many times the bit rate of the others.
#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QMutex>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

#include "zvr3benchplain.h"
#include "zvr3benchsim.h"
#include "zvr3command.h"
#include "zvr3decoder.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3online.h"
#include "zvr3parser.h"

namespace {

constexpr int WarmUpSeconds = 3;
constexpr int GraceSeconds = 2;

// CPU seconds that plain libavcodec + libswscale take for `count` pictures of a channel's loop.
double plainDecodeSeconds(const QString &codecName, const QVector<QByteArray> &loop, qint64 count)
{
    const double start = zvr3bench::threadCpuSeconds();
    plainDecodeToBgra(codecName == QLatin1String("H264") ? "h264" : "mpeg4", loop, count);
    return zvr3bench::threadCpuSeconds() - start;
}

void BM_LiveChannels(benchmark::State &state)
{
    const int channels = int(state.range(0));
    const QSize size(int(state.range(1)), int(state.range(2)));
    const int windowSeconds = int(state.range(3));

    QMutex sentLock;  // guards sentAt, sentInWindow, windowStart and windowEnd
    qint64 sentInWindow = 0;
    qint64 windowStart = -1;  // nanoseconds on `clock`
    qint64 windowEnd = -1;
    QHash<qint64, qint64> sentAt;  // frame -> nanoseconds on the monotonic clock
    QElapsedTimer clock;
    clock.start();
    const zvr3sim::Options options = zvr3bench::liveOptions(channels, size);
    zvr3bench::SimThread sim(options, false, [&](zvr3sim::Server &server) {
        QObject::connect(&server, &zvr3sim::Server::frameWriting, &server, [&](qint64 f) {
            const QMutexLocker locker(&sentLock);
            const qint64 now = clock.nsecsElapsed();
            sentAt.insert(f, now);
            if (windowStart >= 0 && now >= windowStart && (windowEnd < 0 || now < windowEnd))
                ++sentInWindow;
        }, Qt::DirectConnection);
    });
    if (!sim.error().isEmpty()) {
        state.SkipWithError(qPrintable(sim.error()));
        return;
    }
    const zvr3sim::Source &source = sim.source();
    // Joining a live stream between key frames makes FFmpeg complain about the first pictures.
    av_log_set_level(AV_LOG_FATAL);
    qint64 loopBytes = 0;
    for (const QByteArray &packet : source.videoLoop(0))
        loopBytes += packet.size();
    double simCpu = 0;

    zvr3online live;
    zvr3parser parser;
    QObject::connect(&live, &zvr3base::sigData, &parser, &zvr3base::slotData);
    std::vector<std::unique_ptr<zvr3decoder>> decoders;
    std::vector<qint64> emitted(size_t(channels), 0);  // images put out during the window
    std::vector<qint64> kept(size_t(channels), 0);     // images of frames written during the window
    std::vector<double> delays;
    QString failure;
    for (int c = 0; c < channels; ++c) {
        decoders.push_back(std::make_unique<zvr3decoder>(c));
        QObject::connect(&parser, &zvr3base::sigData, decoders.back().get(), &zvr3base::slotData);
        QObject::connect(decoders.back().get(), &zvr3base::sigData, [&, c](const QVariant &value) {
            const qint64 now = clock.nsecsElapsed();
            if (windowStart < 0 || !value.canConvert<zvr3item>())
                return;
            const zvr3item item = value.value<zvr3item>();
            if (!item.value.canConvert<QImage>())
                return;
            const QMutexLocker locker(&sentLock);
            const qint64 sent = sentAt.value(item.time / zvr3sim::FrameMs, -1);
            if (windowEnd < 0)
                ++emitted[size_t(c)];
            if (sent >= windowStart && (windowEnd < 0 || sent < windowEnd)) {
                ++kept[size_t(c)];
                delays.push_back(double(now - sent) / 1e6);
            }
        });
    }
    QEventLoop loop;
    QObject::connect(&live, &zvr3base::sigData, &loop, [&](const QVariant &value) {
        if (value.canConvert<zvr3error>()) {
            failure = value.value<zvr3error>().text;
            loop.quit();
        }
    });

    live.slotData(QVariant::fromValue(zvr3command(2, sim.url())));
    QByteArray all;
    for (int c = 0; c < channels; ++c)
        all.append(char(c));
    live.slotData(QVariant::fromValue(zvr3command(7, all)));

    double simCpuStart = 0, processCpu = 0;
    for (auto _ : state) {
        QTimer::singleShot(WarmUpSeconds * 1000, Qt::PreciseTimer, &loop, [&] {
            processCpu = zvr3bench::processCpuSeconds();
            simCpuStart = sim.cpuSeconds();
            const QMutexLocker locker(&sentLock);
            windowStart = clock.nsecsElapsed();
            QTimer::singleShot(windowSeconds * 1000, Qt::PreciseTimer, &loop, [&] {
                simCpu = sim.cpuSeconds() - simCpuStart;
                processCpu = zvr3bench::processCpuSeconds() - processCpu;
                const QMutexLocker locker(&sentLock);
                windowEnd = clock.nsecsElapsed();
                QTimer::singleShot(GraceSeconds * 1000, &loop, &QEventLoop::quit);
            });
        });
        loop.exec();
        state.SetIterationTime(double(windowEnd - windowStart) / 1e9);
    }
    const double window = double(windowEnd - windowStart) / 1e9;
    const double libCpu = processCpu - simCpu;

    live.slotData(QVariant::fromValue(zvr3command(3)));
    decoders.clear();
    sim.stop();
    if (!failure.isEmpty()) {
        state.SkipWithError(qPrintable(failure));
        return;
    }

    double ffmpegCpu = 0;
    qint64 keptAll = 0;
    std::vector<QList<QByteArray>> loops;
    for (int c = 0; c < channels; ++c) {
        ffmpegCpu += plainDecodeSeconds(source.videoCodec(c), source.videoLoop(c), emitted[size_t(c)]);
        keptAll += kept[size_t(c)];
        loops.push_back(source.videoLoop(c));
    }
    // The same channels live, without the library.
    const PlainLiveResult plainLive = plainLiveDecode(source.videoCodec(0) == QLatin1String("H264") ? "h264" : "mpeg4",
                                                      loops, WarmUpSeconds, windowSeconds);
    state.counters["offered_fps"] = channels * zvr3sim::FramesPerSecond;
    state.counters["sent_fps"] = double(sentInWindow * channels) / window;
    state.counters["kept_fps"] = double(keptAll) / window;
    state.counters["worst_channel_fps"] = double(*std::min_element(kept.begin(), kept.end())) / window;
    state.counters["delay_median_ms"] = zvr3bench::percentile(delays, 0.5);
    state.counters["delay_p99_ms"] = zvr3bench::percentile(delays, 0.99);
    state.counters["lib_cpu"] = libCpu / window;
    state.counters["ffmpeg_cpu"] = ffmpegCpu / window;
    state.counters["outside_ffmpeg_cpu"] = (libCpu - ffmpegCpu) / window;
    state.counters["cpu_ratio"] = ffmpegCpu > 0 ? libCpu / ffmpegCpu : 0;
    state.counters["ffmpeg_live_cpu"] = plainLive.cpuSeconds / plainLive.windowSeconds;
    state.counters["cpu_ratio_live"] = plainLive.cpuSeconds > 0 ? (libCpu / window) / (plainLive.cpuSeconds / plainLive.windowSeconds) : 0;
    state.counters["sim_cpu"] = simCpu / window;
    state.counters["mbit_per_channel"] = double(loopBytes) * 8 / 1e6 / (double(zvr3sim::LoopFrames) / zvr3sim::FramesPerSecond);
}

} // namespace

BENCHMARK(BM_LiveChannels)
    ->Args({16, 1280, 720, 20})
    ->Args({4, 1280, 720, 10})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char **argv)
{
    zvr3bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    return zvr3bench::runBenchmarks(argc, argv);
}
