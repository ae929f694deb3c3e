// The desktop viewer's cost and delay with a full grid: the recorder simulator, in this process on
// a thread of its own, sends N channels (default 16, 640x360 H.264, 25 frames a second) over
// loopback to zvr3-view's main window with a 4x4 live grid, offscreen.
//
//   zvr3viewbench [--seconds 10] [--channels 16] [--size 640x360]
//
// Two phases of the same length in one run:
//   baseline  a zvr3player alone, live on the same channels, no window: what the library costs
//   viewer    the main window on them: the player plus the tiles painting every picture
// Printed for each: CPU seconds per second of the process apart from the simulator's thread
// (1.0 = one core), pictures per second, and the delay from the simulator writing a frame to the
// socket to (baseline) the player's picture signal and (viewer) the tile having painted it:
// median and 99th percentile. Then the viewer's ratios to the baseline.
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QMutex>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "liveview.h"
#include "mainwindow.h"
#include "zvr3benchsim.h"
#include "zvr3player.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

struct Result
{
    double cpu = 0;       // CPU seconds per second, the simulator's thread left out
    double pictures = 0;  // pictures per second that reached the end of the phase's chain
    double median = 0;
    double p99 = 0;
};

// The moment each frame was written, noted on the simulator's thread.
class SendTimes
{
public:
    SendTimes() { m_clock.start(); }
    void note(qint64 frame)
    {
        const QMutexLocker locker(&m_lock);
        m_sentAt.insert(frame, m_clock.nsecsElapsed());
    }
    // Nanoseconds from the frame's writing to now; -1 for a frame not seen.
    qint64 delayOf(const QDateTime &pictureTime)
    {
        const QMutexLocker locker(&m_lock);
        const qint64 sent = m_sentAt.value(pictureTime.toMSecsSinceEpoch() / zvr3sim::FrameMs, -1);
        return sent < 0 ? -1 : m_clock.nsecsElapsed() - sent;
    }

private:
    QMutex m_lock;
    QHash<qint64, qint64> m_sentAt;
    QElapsedTimer m_clock;
};

// Runs the event loop for warm-up, then measures for `seconds`: the CPU, and the delays that
// `delays` collects while `measuring` is true.
Result measure(zvr3bench::SimThread &sim, int seconds, bool &measuring, std::vector<double> &delays)
{
    QEventLoop loop;
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    delays.clear();
    const double simStart = sim.cpuSeconds();
    const double processStart = zvr3bench::processCpuSeconds();
    QElapsedTimer window;
    window.start();
    measuring = true;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    measuring = false;
    const double elapsed = double(window.nsecsElapsed()) / 1e9;
    const double cpu = (zvr3bench::processCpuSeconds() - processStart) - (sim.cpuSeconds() - simStart);
    return {cpu / elapsed, double(delays.size()) / elapsed, zvr3bench::percentile(delays, 0.5), zvr3bench::percentile(delays, 0.99)};
}

void print(const char *name, const Result &r)
{
    std::printf("%-9s cpu %.3f   pictures/s %6.1f   delay median %6.1f ms   p99 %6.1f ms\n", name, r.cpu, r.pictures, r.median, r.p99);
}

} // namespace

int main(int argc, char *argv[])
{
    zvr3bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Seconds of each phase."), QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption channelsOption(QStringLiteral("channels"), QStringLiteral("Channels (tiles up to 16)."), QStringLiteral("n"), QStringLiteral("16"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Picture size."), QStringLiteral("WxH"), QStringLiteral("640x360"));
    parser.addOptions({secondsOption, channelsOption, sizeOption});
    parser.addHelpOption();
    parser.process(app);
    const int seconds = qMax(1, parser.value(secondsOption).toInt());
    const int channels = qBound(1, parser.value(channelsOption).toInt(), 16);
    const QStringList wh = parser.value(sizeOption).split(QLatin1Char('x'));
    const QSize size(wh.value(0).toInt(), wh.value(1).toInt());
    av_log_set_level(AV_LOG_FATAL);

    const zvr3sim::Options options = zvr3bench::liveOptions(channels, size);
    SendTimes sent;
    zvr3bench::SimThread sim(options, false, [&sent](zvr3sim::Server &server) {
        QObject::connect(&server, &zvr3sim::Server::frameWriting, &server, [&sent](qint64 frame) { sent.note(frame); },
                         Qt::DirectConnection);
    });
    if (!sim.error().isEmpty()) {
        std::fprintf(stderr, "zvr3viewbench: %s\n", qPrintable(sim.error()));
        return 1;
    }
    QList<int> all;
    for (int c = 0; c < channels; ++c)
        all.append(c);
    bool measuring = false;
    std::vector<double> delays;

    Result baseline;
    {
        zvr3player player;
        QObject::connect(&player, &zvr3player::picture, [&](int, const QImage &, const QDateTime &time) {
            if (!measuring)
                return;
            const qint64 d = sent.delayOf(time);
            if (d >= 0)
                delays.push_back(double(d) / 1e6);
        });
        player.openLive(sim.url(), all);
        baseline = measure(sim, seconds, measuring, delays);
        player.close();
    }

    const int tiles = channels <= 1 ? 1 : channels <= 4 ? 4 : channels <= 9 ? 9 : 16;
    Result viewer;
    Result decoded;   // the viewer's player signal, in the same phase
    {
        zvr3view::MainWindow window(nullptr);
        window.resize(1280, 800);
        window.live()->setGridSize(tiles);
        window.show();
        std::vector<double> signalDelays;
        for (int i = 0; i < 16; ++i)
            QObject::connect(window.live()->grid()->tile(i), &zvr3view::VideoTile::painted, [&](const QDateTime &time) {
                if (!measuring)
                    return;
                const qint64 d = sent.delayOf(time);
                if (d >= 0)
                    delays.push_back(double(d) / 1e6);
            });
        QObject::connect(window.live()->player(), &zvr3player::picture, [&](int, const QImage &, const QDateTime &time) {
            if (!measuring)
                return;
            const qint64 d = sent.delayOf(time);
            if (d >= 0)
                signalDelays.push_back(double(d) / 1e6);
        });
        window.openRecorder(sim.url());
        window.live()->player()->setChannels(all);
        viewer = measure(sim, seconds, measuring, delays);
        decoded = {viewer.cpu, 0, zvr3bench::percentile(signalDelays, 0.5), zvr3bench::percentile(signalDelays, 0.99)};
        window.closeRecorder();
    }

    std::printf("zvr3viewbench: %d channels of %dx%d at %d frames/s, %d s a phase\n", channels, size.width(), size.height(),
                zvr3sim::FramesPerSecond, seconds);
    print("baseline", baseline);
    std::printf("          (a zvr3player alone, its picture signal)\n");
    print("viewer", viewer);
    std::printf("          (the main window, %d tiles: painted; its player's picture signal: median %.1f ms, p99 %.1f ms)\n",
                tiles, decoded.median, decoded.p99);
    std::printf("ratio     cpu %.2f   delay median %.2f   p99 %.2f\n", baseline.cpu > 0 ? viewer.cpu / baseline.cpu : 0,
                baseline.median > 0 ? viewer.median / baseline.median : 0, baseline.p99 > 0 ? viewer.p99 / baseline.p99 : 0);
    return 0;
}
