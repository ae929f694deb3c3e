// How soon a supervised live view is back after the recorder returns, against the wait the
// supervisor had chosen.
//
//   zvr3reconnectbench
//
// The recorder simulator runs in this process on a thread of its own, serving one small live
// channel on 127.0.0.1. On the application's thread a zvr3online stands behind a zvr3supervisor
// (initialDelay 200 ms), opened on the simulator. Each iteration:
//
//   1. (not measured) open, and wait for the first data record;
//   2. the simulator goes down: it closes its listening socket and drops the connection, so that
//      every attempt from then on is refused by the system (ECONNREFUSED);
//   3. the supervisor lists WaitingToReconnect with the delay it chose (nextAttemptMs). With
//      refusals = N, the simulator stays down through N attempts (each refused, each followed by a
//      doubled wait); at the WaitingToReconnect after those it comes up again, up_ms after that
//      record (0: at once; always well before the wait ends);
//   4. measured: from the moment the simulator listens again, and from the moment the chosen wait
//      was due (the WaitingToReconnect record's time + nextAttemptMs), to the first data record
//      (DATA_T or zvr3parser_combined_DATA_T) on the supervisor's sigData;
//   5. (not measured) close.
//
// The iteration time is the outage as a recorder's operator sees it: from listening again to the
// first record. Counters, averages over the iterations:
//   due_ms       the delay chosen (nextAttemptMs of the last WaitingToReconnect)
//   wait_ms      from that record to the supervisor's Connecting record: how long the wait took
//   login_ms     from Connecting to Streaming (connect and log in over loopback)
//   data_ms      from Streaming to the first data record (the simulator sends every 40 ms)
//   from_up_ms   from listening again to the first data record
//   excess_ms    from the due time to the first data record: what the supervisor adds to the
//                wait it chose (goal: under 100 ms)
//   excess_max_ms  the largest excess of the run (not an average)
//   missed       iterations whose attempt still found the port closed (the simulator came up
//                late on a loaded machine); their figures are taken from the wait after that
// Each iteration's figures are printed on stderr as well.
#include <benchmark/benchmark.h>

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>

#include "zvr3benchsim.h"
#include "zvr3error.h"
#include "zvr3online.h"
#include "zvr3records.h"
#include "zvr3stats.h"
#include "zvr3supervisor.h"
#include "zvr3value.h"

namespace {

constexpr int InitialDelayMs = 200;
constexpr int DeadlineMs = 15000;   // for any one step; only a broken set-up reaches it

// Runs the event loop until `done` has said yes to a value of the supervisor, or the deadline.
class Watch
{
public:
    explicit Watch(zvr3base *node)
    {
        QObject::connect(node, &zvr3base::sigData, &m_loop, [this](const QVariant &value) {
            if (m_done && m_done(value))
                m_loop.quit();
        });
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, &m_loop, [this] {
            m_timedOut = true;
            m_loop.quit();
        });
    }
    bool until(std::function<bool(const QVariant &)> done)
    {
        m_done = std::move(done);
        m_timedOut = false;
        m_deadline.start(DeadlineMs);
        m_loop.exec();
        m_deadline.stop();
        m_done = nullptr;
        return !m_timedOut;
    }

private:
    QEventLoop m_loop;
    QTimer m_deadline;
    std::function<bool(const QVariant &)> m_done;
    bool m_timedOut = false;
};

bool isData(const QVariant &value)
{
    return zvr3holds<DATA_T>(value) || zvr3holds<zvr3parser_combined_DATA_T>(value);
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

void BM_Reconnect(benchmark::State &state)
{
    const int refusals = int(state.range(0));
    const int upMs = int(state.range(1));

    QElapsedTimer clock;
    clock.start();
    // One small channel; listeningAt is stamped on the simulator's thread when it listens again.
    std::atomic<qint64> listeningAt{-1};  // nanoseconds on the clock
    const zvr3sim::Options options = zvr3bench::liveOptions(1, QSize(320, 180));
    zvr3bench::SimThread sim(options, false, [&](zvr3sim::Server &server) {
        QObject::connect(&server, &zvr3sim::Server::listening, &server,
                         [&] { listeningAt.store(clock.nsecsElapsed()); }, Qt::DirectConnection);
    });
    // Down: the port closes and every connection is dropped until up(), which listens again.
    const auto down = [&] { sim.run([](zvr3sim::Server *s) { s->goDown(0); }); };
    const auto up = [&] {
        listeningAt.store(-1);
        sim.post([](zvr3sim::Server *s) { s->endFaults(); });
    };
    if (!sim.error().isEmpty()) {
        state.SkipWithError(qPrintable(sim.error()));
        return;
    }
    zvr3online live;
    zvr3supervisor supervisor(&live);
    supervisor.setInitialDelay(InitialDelayMs);
    supervisor.setMaxDelay(60000);
    Watch watch(&supervisor);

    double due = 0, wait = 0, login = 0, data = 0, fromUp = 0, excess = 0;
    double excessMax = std::numeric_limits<double>::lowest();
    int missed = 0, refused = 0;
    const QUrl url = sim.url();
    for (auto _ : state) {
        supervisor.open(url);
        if (!watch.until(isData)) {
            state.SkipWithError("no data record after the open");
            break;
        }

        // Down, then the waits: the first follows the dropped connection, each later one a refusal.
        qint64 waitingAt = -1, dueMs = -1, connectingAt = -1, streamingAt = -1, dataAt = -1;
        int waits = 0;
        bool upAsked = false;
        down();
        const bool ok = watch.until([&](const QVariant &value) {
            const qint64 now = clock.nsecsElapsed();
            if (const auto s = zvr3take<zvr3stats>(value)) {
                if (s->state == zvr3stats::WaitingToReconnect) {
                    ++waits;
                    if (waits > 1 && s->lastError.reason == zvr3error::SocketError
                        && s->lastError.code == int(QAbstractSocket::ConnectionRefusedError))
                        ++refused;
                    waitingAt = now;
                    dueMs = s->nextAttemptMs;
                    connectingAt = streamingAt = -1;
                    if (upAsked) {
                        ++missed;   // the attempt came before the port was open again
                    } else if (waits > refusals) {
                        upAsked = true;
                        if (upMs <= 0)
                            up();
                        else
                            QTimer::singleShot(upMs, Qt::PreciseTimer, &live, up);
                    }
                } else if (s->state == zvr3stats::Connecting && waitingAt >= 0) {
                    connectingAt = now;
                } else if (s->state == zvr3stats::Streaming && connectingAt >= 0) {
                    streamingAt = now;
                }
                return false;
            }
            if (isData(value) && streamingAt >= 0) {
                dataAt = now;
                return true;
            }
            return false;
        });
        const qint64 upAt = listeningAt.load();
        if (!ok || upAt < 0) {
            state.SkipWithError("the supervisor did not come back with data");
            break;
        }
        const qint64 dueAt = waitingAt + dueMs * 1000000;
        const double x = ms(dataAt - dueAt);
        due += double(dueMs);
        wait += ms(connectingAt - waitingAt);
        login += ms(streamingAt - connectingAt);
        data += ms(dataAt - streamingAt);
        fromUp += ms(dataAt - upAt);
        excess += x;
        excessMax = std::max(excessMax, x);
        state.SetIterationTime(double(dataAt - upAt) / 1e9);
        std::fprintf(stderr,
                     "refusals %d up %d ms: due %lld ms, up %.1f ms after the record, wait %.1f, login %.1f, "
                     "data %.1f, from up %.1f, excess %.1f ms\n",
                     refusals, upMs, static_cast<long long>(dueMs), ms(upAt - waitingAt), ms(connectingAt - waitingAt),
                     ms(streamingAt - connectingAt), ms(dataAt - streamingAt), ms(dataAt - upAt), x);

        supervisor.close();
    }
    supervisor.close();

    const auto avg = [](double v) { return benchmark::Counter(v, benchmark::Counter::kAvgIterations); };
    state.counters["due_ms"] = avg(due);
    state.counters["wait_ms"] = avg(wait);
    state.counters["login_ms"] = avg(login);
    state.counters["data_ms"] = avg(data);
    state.counters["from_up_ms"] = avg(fromUp);
    state.counters["excess_ms"] = avg(excess);
    state.counters["excess_max_ms"] = excessMax;
    state.counters["missed"] = missed;
    state.counters["refused"] = refused;
}

} // namespace

// {refusals, up_ms}: back at once after the dropped connection; back 100 ms into the first wait;
// back after one refused attempt (the second, doubled wait).
BENCHMARK(BM_Reconnect)
    ->ArgNames({"refusals", "up_ms"})
    ->Args({0, 0})
    ->Args({0, 100})
    ->Args({1, 0})
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    zvr3bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    return zvr3bench::runBenchmarks(argc, argv);
}
