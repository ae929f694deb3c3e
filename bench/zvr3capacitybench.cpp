// How many live channels of 1280x720 H.264 at 25 fps this machine keeps whole: every frame, with
// the slowest channel's 99th percentile delay under 100 ms.
//
//   zvr3capacitybench                          both cases below
//   zvr3capacitybench --benchmark_filter=/decode:0   only the parser
//
// The recorder simulator runs in this process on a thread of its own with 16 channels (the loops of
// zvr3livebench); a trial of N channels opens ceil(N / 16) live connections to it, each asking for
// up to 16 channels, the way an application watches several recorders. A trial warms up for
// WarmUpSeconds, then counts the frames that the simulator writes during WindowSeconds and those
// that come out within GraceSeconds after, with each frame's delay from the simulator writing it
// to the socket to it leaving the last node on the application's thread. Channels are added
// (8 at a time with decoding, 64 without, then halving the step between the last whole trial and
// the first that was not, down to 2 and 16) until a trial is no longer whole; the largest whole one
// is the capacity, up to 256. The library's and plain FFmpeg's trials take turns.
//
//   decode:1  zvr3online -> zvr3parser -> one zvr3decoder a channel (a Format_ARGB32 QImage each
//             frame). Its baseline, in the same run and on the same loops: plain libavcodec +
//             libswscale decoding N channels live on N threads, each picture converted to BGRA when
//             it is due (plainLiveDecode in zvr3benchplain.h), searched for its capacity the same
//             way, with the same rule for whole.
//   decode:0  zvr3online -> zvr3parser only: whole frames of every channel. No baseline.
//
// Counters:
//   lib_channels      the library's capacity
//   ffmpeg_channels   plain FFmpeg's (decode:1)
//   ratio             lib_channels / ffmpeg_channels (decode:1)
//   lib_p99_ms        the slowest channel's 99th percentile delay in the largest whole trial
//   ffmpeg_p99_ms     the same for plain FFmpeg
//   trials            library trials run (each WarmUpSeconds + WindowSeconds + GraceSeconds)
// Each trial is printed on stderr. The library's side also carries the simulator's own sending, in
// the same process on the same cores; plain FFmpeg reads its packets from memory.
#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "zvr3benchplain.h"
#include "zvr3benchsim.h"
#include "zvr3command.h"
#include "zvr3decoder.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3online.h"
#include "zvr3parser.h"
#include "zvr3value.h"

namespace {

constexpr int SimChannels = 16;       // channels of one recorder (connection)
constexpr int WarmUpSeconds = 2;      // a channel joined between key frames shows its first picture within 1 s
constexpr int WindowSeconds = 4;
constexpr int GraceSeconds = 1;
constexpr double MaxDelayMs = 100;
constexpr int MaxChannels = 256;

// The search: up by step channels at a time, then down to granularity.
struct Search
{
    int step;
    int granularity;
};
constexpr Search Decoding{8, 2};
constexpr Search Parsing{64, 16};

struct Trial
{
    bool whole = false;
    double worstP99 = 0;      // ms, the slowest channel's
    qint64 fewest = 0;        // frames of the channel that got the fewest
    qint64 expected = 0;      // frames each channel should have had
};

// When the simulator wrote each frame, for the library's trials.
struct SentLog
{
    QMutex lock;
    QHash<qint64, qint64> at;  // frame -> nanoseconds on clock
    QElapsedTimer clock;
};

Trial judge(const std::vector<qint64> &kept, std::vector<std::vector<double>> &delays, qint64 expected)
{
    Trial t;
    t.expected = expected;
    t.fewest = kept.empty() ? 0 : *std::min_element(kept.begin(), kept.end());
    for (std::vector<double> &d : delays)
        t.worstP99 = std::max(t.worstP99, zvr3bench::percentile(std::move(d), 0.99));
    t.whole = expected > 0 && t.fewest >= expected && t.worstP99 < MaxDelayMs;
    return t;
}

Trial libraryTrial(zvr3bench::SimThread &sim, SentLog &log, int channels, bool decode, QString *failure)
{
    const int connections = (channels + SimChannels - 1) / SimChannels;
    std::vector<std::unique_ptr<zvr3online>> lives;
    std::vector<std::unique_ptr<zvr3parser>> parsers;
    std::vector<std::unique_ptr<zvr3decoder>> decoders;
    std::vector<qint64> kept(size_t(channels), 0);
    auto delays = std::vector<std::vector<double>>(size_t(channels));
    qint64 windowStart = -1;
    qint64 windowEnd = -1;
    {
        const QMutexLocker locker(&log.lock);
        log.at.clear();
    }
    // A frame of channel i has come out now: counted when the simulator wrote it in the window.
    const auto arrived = [&](int i, qint64 time) {
        const qint64 now = log.clock.nsecsElapsed();
        if (windowStart < 0)
            return;
        qint64 sent;
        {
            const QMutexLocker locker(&log.lock);
            sent = log.at.value(time / zvr3sim::FrameMs, -1);
        }
        if (sent >= windowStart && (windowEnd < 0 || sent < windowEnd)) {
            ++kept[size_t(i)];
            delays[size_t(i)].push_back(double(now - sent) / 1e6);
        }
    };
    QEventLoop loop;
    for (int n = 0; n < connections; ++n) {
        const int first = n * SimChannels;
        const int count = std::min(SimChannels, channels - first);
        lives.push_back(std::make_unique<zvr3online>());
        parsers.push_back(std::make_unique<zvr3parser>());
        zvr3online *live = lives.back().get();
        zvr3parser *parser = parsers.back().get();
        QObject::connect(live, &zvr3base::sigData, parser, &zvr3base::slotData);
        QObject::connect(live, &zvr3base::sigData, &loop, [&](const QVariant &value) {
            if (const auto e = zvr3take<zvr3error>(value)) {
                *failure = e->text;
                loop.quit();
            }
        });
        if (decode) {
            for (int c = 0; c < count; ++c) {
                decoders.push_back(std::make_unique<zvr3decoder>(c));
                QObject::connect(parser, &zvr3base::sigData, decoders.back().get(), &zvr3base::slotData);
                QObject::connect(decoders.back().get(), &zvr3base::sigData, [&, i = first + c](const QVariant &value) {
                    const auto item = zvr3take<zvr3item>(value);
                    if (item && item->value.canConvert<QImage>())
                        arrived(i, item->time);
                });
            }
        } else {
            QObject::connect(parser, &zvr3base::sigData, [&, first, count](const QVariant &value) {
                if (!zvr3holds<zvr3parser_combined_DATA_T>(value))
                    return;
                const auto *record = static_cast<const zvr3parser_combined_DATA_T *>(value.constData());
                if (int(record->stream) < count)
                    arrived(first + int(record->stream), record->time);
            });
        }
        live->slotData(QVariant::fromValue(zvr3command(2, sim.url())));
        QByteArray all;
        for (int c = 0; c < count; ++c)
            all.append(char(c));
        live->slotData(QVariant::fromValue(zvr3command(7, all)));
    }

    QTimer::singleShot(WarmUpSeconds * 1000, Qt::PreciseTimer, &loop, [&] {
        windowStart = log.clock.nsecsElapsed();
        QTimer::singleShot(WindowSeconds * 1000, Qt::PreciseTimer, &loop, [&] {
            windowEnd = log.clock.nsecsElapsed();
            QTimer::singleShot(GraceSeconds * 1000, &loop, &QEventLoop::quit);
        });
    });
    loop.exec();
    qint64 sent = 0;
    {
        const QMutexLocker locker(&log.lock);
        for (const qint64 at : std::as_const(log.at))
            sent += at >= windowStart && at < windowEnd ? 1 : 0;
    }
    for (auto &live : lives)
        live->slotData(QVariant::fromValue(zvr3command(3)));
    decoders.clear();
    parsers.clear();
    lives.clear();
    // Let the simulator see the connections go before the next trial.
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    return judge(kept, delays, sent);
}

Trial plainTrial(const zvr3sim::Source &source, int channels)
{
    std::vector<QList<QByteArray>> loops;
    for (int i = 0; i < channels; ++i)
        loops.push_back(source.videoLoop(i % SimChannels));
    PlainLiveResult r = plainLiveDecode(source.videoCodec(0) == QLatin1String("H264") ? "h264" : "mpeg4", loops,
                                        WarmUpSeconds, WindowSeconds);
    return judge(r.pictures, r.delaysMs, r.due);
}

// The search for the largest channel count whose trial is whole: up by the step until a trial is
// not, then halving the step between the last whole count and the first that was not, down to the
// granularity. capacity() is 0 when even the first is not whole, and MaxChannels when every one is.
class Capacity
{
public:
    Capacity(const char *name, Search search, std::function<Trial(int)> trial)
        : m_name(name), m_search(search), m_trial(std::move(trial))
    {
    }
    bool done() const { return next() < 0; }
    // Runs the next trial.
    void step()
    {
        const int n = next();
        const Trial t = m_trial(n);
        ++m_trials;
        std::fprintf(stderr, "%-12s %3d channels: %s, fewest %lld of %lld frames, worst p99 %.1f ms\n", m_name, n,
                     t.whole ? "whole" : "NOT whole", static_cast<long long>(t.fewest),
                     static_cast<long long>(t.expected), t.worstP99);
        if (t.whole) {
            m_good = n;
            m_best = t;
        } else {
            m_bad = n;
        }
    }
    int capacity() const { return m_good; }
    const Trial &best() const { return m_best; }
    int trials() const { return m_trials; }

private:
    int next() const
    {
        if (m_bad > MaxChannels) {  // going up
            const int n = m_good + m_search.step;
            return n <= MaxChannels ? n : -1;
        }
        const int g = m_search.granularity;
        if (m_bad - m_good <= g)
            return -1;
        const int n = m_good + std::max(g, (m_bad - m_good) / 2 / g * g);
        return n < m_bad ? n : -1;
    }

    const char *m_name;
    Search m_search;
    std::function<Trial(int)> m_trial;
    int m_good = 0;
    int m_bad = MaxChannels + 1;
    Trial m_best;
    int m_trials = 0;
};

void BM_Capacity(benchmark::State &state)
{
    const bool decode = state.range(0) != 0;
    // Joining a live stream between key frames makes FFmpeg complain about the first pictures.
    av_log_set_level(AV_LOG_FATAL);
    SentLog log;
    log.clock.start();
    const zvr3sim::Options options = zvr3bench::liveOptions(SimChannels, QSize(1280, 720));
    zvr3bench::SimThread sim(options, false, [&](zvr3sim::Server &server) {
        QObject::connect(&server, &zvr3sim::Server::frameWriting, &server, [&](qint64 f) {
            const QMutexLocker locker(&log.lock);
            log.at.insert(f, log.clock.nsecsElapsed());
        }, Qt::DirectConnection);
    });
    if (!sim.error().isEmpty()) {
        state.SkipWithError(qPrintable(sim.error()));
        return;
    }
    for (auto _ : state) {
        QString failure;
        Capacity lib(decode ? "library" : "parser only", decode ? Decoding : Parsing,
                     [&](int n) { return libraryTrial(sim, log, n, decode, &failure); });
        // Plain FFmpeg's trials alternate with the library's, so that a change in the machine's
        // other load falls on both alike. The simulator idles during them: no client is connected.
        Capacity plain("plain FFmpeg", Decoding, [&](int n) { return plainTrial(sim.source(), n); });
        while (!lib.done() || (decode && !plain.done())) {
            if (!lib.done())
                lib.step();
            if (!failure.isEmpty()) {
                state.SkipWithError(qPrintable(failure));
                return;
            }
            if (decode && !plain.done())
                plain.step();
        }
        state.counters["lib_channels"] = lib.capacity();
        state.counters["lib_p99_ms"] = lib.best().worstP99;
        state.counters["trials"] = lib.trials();
        if (decode) {
            state.counters["ffmpeg_channels"] = plain.capacity();
            state.counters["ffmpeg_p99_ms"] = plain.best().worstP99;
            state.counters["ratio"] = plain.capacity() > 0 ? double(lib.capacity()) / plain.capacity() : 0;
        }
    }
}

} // namespace

BENCHMARK(BM_Capacity)->ArgName("decode")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

int main(int argc, char **argv)
{
    zvr3bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    return zvr3bench::runBenchmarks(argc, argv);
}
