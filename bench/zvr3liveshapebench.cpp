// What the shape of live decoding costs plain FFmpeg, without the library: the same 16 channels of
// 1280x720 H.264 (the recorder simulator's pictures) decoded and converted to BGRA by plain
// libavcodec + libswscale in six ways, as CPU milliseconds a picture:
//
//   sequential        one channel after the other, every picture of one before the next (the
//                     live bench's ffmpeg_cpu baseline)
//   round robin       one thread, a picture of each channel in turn, without pauses: what it
//                     costs that every channel's state is cold again after the others' turns
//   live, pool        two threads (one a core), each decoding its eight channels' pictures one
//                     after the other every 40 ms, then sleeping until the next ones are due
//   live, runs of 2   the same, with each channel's pictures held back and decoded two at a time
//   live, runs of 4   four at a time (160 ms later than live)
//   live, per channel a thread a channel, each picture decoded when it is due (the live bench's
//                     ffmpeg_live_cpu baseline)
//
// Each is printed against the sequential figure of the same round; with --rounds N (default 3)
// the medians of N rounds. The library's live path can at best reach the live figures: no live
// view decodes a channel's pictures one after the other.
#include <QGuiApplication>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "zvr3benchplain.h"
#include "zvr3benchsim.h"

namespace {

constexpr int Channels = 16;
constexpr int Pictures = 250;  // a channel's, in each way: 10 s of live
constexpr int Skipped = 50;    // live: the first 2 s, while the threads settle, are not counted
constexpr qint64 FrameNs = 40000000;

using Loops = std::vector<QList<QByteArray>>;

double monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

void sleepUntil(double ns)
{
    const timespec ts{time_t(ns / 1e9), long(std::fmod(ns, 1e9))};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

double sequential(const char *codec, const Loops &loops)
{
    const double start = zvr3bench::threadCpuSeconds();
    for (const QList<QByteArray> &loop : loops)
        plainDecodeToBgra(codec, loop, Pictures);
    return (zvr3bench::threadCpuSeconds() - start) * 1000 / (Channels * Pictures);
}

double roundRobin(const char *codec, const Loops &loops)
{
    std::vector<std::unique_ptr<PlainDecoder>> decoders;
    for (int c = 0; c < Channels; ++c)
        decoders.push_back(std::make_unique<PlainDecoder>(codec));
    const double start = zvr3bench::threadCpuSeconds();
    for (int k = 0; k < Pictures; ++k) {
        for (int c = 0; c < Channels; ++c)
            decoders[size_t(c)]->decode(loops[size_t(c)].at(k % loops[size_t(c)].size()));
    }
    return (zvr3bench::threadCpuSeconds() - start) * 1000 / (Channels * Pictures);
}

// Two threads, each with every other channel; a channel's pictures are decoded `run` at a time,
// when the last of them is due.
double livePool(const char *codec, const Loops &loops, int run)
{
    constexpr int Threads = 2;
    double cpu[Threads] = {};
    const double start = monotonicNs() + 1e8;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::unique_ptr<PlainDecoder>> decoders;
            std::vector<int> channels;
            for (int c = t; c < Channels; c += Threads) {
                decoders.push_back(std::make_unique<PlainDecoder>(codec));
                channels.push_back(c);
            }
            double from = -1;
            for (int k = 0; k < Pictures; k += run) {
                if (k >= Skipped && from < 0)
                    from = zvr3bench::threadCpuSeconds();
                sleepUntil(start + double(k + run - 1) * FrameNs);
                for (size_t j = 0; j < decoders.size(); ++j) {
                    const QList<QByteArray> &loop = loops[size_t(channels[j])];
                    for (int q = 0; q < run; ++q)
                        decoders[j]->decode(loop.at((k + q) % loop.size()));
                }
            }
            cpu[t] = zvr3bench::threadCpuSeconds() - from;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const int counted = Pictures - (Skipped + run - 1) / run * run;
    return (cpu[0] + cpu[1]) * 1000 / (Channels * counted);
}

double livePerChannel(const char *codec, const Loops &loops)
{
    const PlainLiveResult r = plainLiveDecode(codec, loops, Skipped / 25, (Pictures - Skipped) / 25);
    qint64 pictures = 0;
    for (qint64 p : r.pictures)
        pictures += p;
    return pictures > 0 ? r.cpuSeconds * 1000 / double(pictures) : 0;
}

} // namespace

int main(int argc, char **argv)
{
    zvr3bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    int rounds = 3;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--rounds"));
    if (at >= 0 && at + 1 < args.size())
        rounds = qMax(1, args.at(at + 1).toInt());

    zvr3sim::Source source(Channels, QSize(1280, 720));
    source.setJpegChannel(-1);
    if (!source.prepare()) {
        std::fprintf(stderr, "zvr3liveshapebench: %s\n", qPrintable(source.error()));
        return 1;
    }
    av_log_set_level(AV_LOG_FATAL);
    Loops loops;
    for (int c = 0; c < Channels; ++c)
        loops.push_back(source.videoLoop(c));
    const char *codec = source.videoCodec(0) == QLatin1String("H264") ? "h264" : "mpeg4";

    const char *const names[] = {"sequential", "round robin", "live, pool", "live, runs of 2", "live, runs of 4",
                                 "live, per channel"};
    std::map<int, std::vector<double>> ms, ratio;
    for (int r = 0; r < rounds; ++r) {
        const double figures[] = {sequential(codec, loops), roundRobin(codec, loops), livePool(codec, loops, 1),
                                  livePool(codec, loops, 2), livePool(codec, loops, 4), livePerChannel(codec, loops)};
        for (int w = 0; w < 6; ++w) {
            ms[w].push_back(figures[w]);
            ratio[w].push_back(figures[w] / figures[0]);
            std::printf("round %d  %-18s %.3f ms a picture  %.2fx sequential\n", r + 1, names[w], figures[w],
                        figures[w] / figures[0]);
        }
        std::fflush(stdout);
    }
    std::printf("\n%d channels of %dx%d %s, medians of %d rounds:\n", Channels, 1280, 720, codec, rounds);
    for (int w = 0; w < 6; ++w) {
        std::printf("ratio %-18s / sequential (cpu ms a picture): %.3f / %.3f = %.2f\n", names[w],
                    zvr3bench::percentile(ms[w], 0.5), zvr3bench::percentile(ms[0], 0.5),
                    zvr3bench::percentile(ratio[w], 0.5));
    }
    return 0;
}
