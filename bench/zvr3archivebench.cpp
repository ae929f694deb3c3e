// Scanning an archive file with zvr3archive against a plain read() of the same file, in the same
// run; and the stream parser's own throughput on the same file, fed 64 KiB chunks read through QFile.
//
//   zvr3archivebench [--benchmark_filter=...]
//
// BM_ReadFile is the baseline: the file read with read() in 64 KiB pieces into one buffer, nothing
// else. The files are written just before, so they are in the page cache (the machine needs about
// 1.3 GiB free for that); every benchmark reads them from there. At the end the scan is printed
// against the baseline, for both files.
//
// The files (256 MiB and 1 GiB of video-heavy recording: four video streams with frames of 4 KB
// to 200 KB, sound and texts, as in zvr3bench) are written to a temporary directory at start by a
// child process, so that generating them does not count in this process's peak RSS. Each run
// reports peak_rss_MiB (getrusage ru_maxrss) after it: the scan keeps only its seek and event
// lists, so the peak must not grow from the small file to the large one.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "evtparser.h"
#include "zvr3archive.h"
#include "zvr3benchratio.h"
#include "zvr3command.h"
#include "zvr3parser.h"
#include "zvr3streamwriter.h"

namespace {

std::map<int, QString> files;  // size in MiB -> path

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Appends one-second recordings (each with its own header) until the file holds megabytes MiB.
bool writeRecording(const QString &path, int megabytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const qint64 target = qint64(megabytes) << 20;
    zvr3stream::Recording r;
    r.seconds = 1;
    r.videoStreams = 4;
    r.minFrameBytes = 4000;
    r.maxFrameBytes = 200000;
    for (quint32 second = 0; file.size() < target; ++second) {
        r.startTime = 1700000000 + second;
        r.seed = second + 1;
        const QByteArray bytes = zvr3stream::generate(r);
        if (file.write(bytes.left(target - file.size())) < 0)
            return false;
    }
    return true;
}

bool generateInChild(const QString &path, int megabytes)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return writeRecording(path, megabytes);
    if (child == 0)
        _exit(writeRecording(path, megabytes) ? 0 : 1);
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void finish(benchmark::State &state, qint64 bytes, double values)
{
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["values"] = values;
    state.counters["peak_rss_MiB"] = peakRssMiB();
}

// The baseline: read() of the whole file in 64 KiB pieces into one reused buffer.
void BM_ReadFile(benchmark::State &state)
{
    const QString path = files.at(int(state.range(0)));
    const QByteArray name = QFile::encodeName(path);
    QByteArray block(0x10000, Qt::Uninitialized);
    qint64 bytes = 0;
    for (auto _ : state) {
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            state.SkipWithError("cannot open the file");
            return;
        }
        qint64 total = 0;
        for (ssize_t got; (got = ::read(fd, block.data(), size_t(block.size()))) > 0;)
            total += got;
        ::close(fd);
        benchmark::DoNotOptimize(block.data());
        bytes = total;
    }
    finish(state, bytes, 0);
}

// The parser alone, fed as the scan feeds it, with a receiver that only counts.
void BM_ParseFile(benchmark::State &state)
{
    const QString path = files.at(int(state.range(0)));
    qint64 bytes = 0;
    double values = 0;
    for (auto _ : state) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            state.SkipWithError("cannot open the file");
            return;
        }
        zvr3parser parser;
        qint64 count = 0;
        QObject::connect(&parser, &zvr3base::sigData, [&count](const QVariant &) { ++count; });
        while (!file.atEnd()) {
            const QByteArray chunk = file.read(0x10000);
            if (chunk.isEmpty())
                break;
            parser.slotData(QVariant(chunk));
        }
        bytes = file.size();
        values = double(count);
    }
    finish(state, bytes, values);
}

// The whole local archive source: open command, scan, seek entries and event list emitted.
void BM_ScanFile(benchmark::State &state)
{
    const QString path = files.at(int(state.range(0)));
    const QVariant open = QVariant::fromValue(zvr3command(2, QUrl::fromLocalFile(path)));
    double values = 0;
    double events = 0;
    for (auto _ : state) {
        zvr3archive archive;
        qint64 count = 0;
        QObject::connect(&archive, &zvr3base::sigData, [&](const QVariant &value) {
            ++count;
            if (value.metaType() == QMetaType::fromType<EVENTS_FILE_LIST_T>())
                events = double(value.value<EVENTS_FILE_LIST_T>().size());
        });
        archive.slotData(open);
        values = double(count);
        state.PauseTiming();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        state.ResumeTiming();
    }
    finish(state, QFile(path).size(), values);
    state.counters["events"] = events;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    QTemporaryDir dir;
    for (int megabytes : {256, 1024}) {
        const QString path = dir.filePath(QStringLiteral("archive%1.zvr").arg(megabytes));
        if (!generateInChild(path, megabytes)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        files[megabytes] = path;
    }
    std::fprintf(stderr, "peak RSS after generating the files: %.1f MiB\n", peakRssMiB());

    std::vector<zvr3bench::Ratio> ratios;
    for (int megabytes : {256, 1024}) {
        const std::string arg = "/" + std::to_string(megabytes);
        benchmark::RegisterBenchmark("BM_ReadFile", BM_ReadFile)->Arg(megabytes)->Unit(benchmark::kMillisecond)->MinTime(3);
        benchmark::RegisterBenchmark("BM_ParseFile", BM_ParseFile)->Arg(megabytes)->Unit(benchmark::kMillisecond)->MinTime(3);
        benchmark::RegisterBenchmark("BM_ScanFile", BM_ScanFile)->Arg(megabytes)->Unit(benchmark::kMillisecond)->MinTime(3);
        ratios.push_back({"BM_ScanFile" + arg, "BM_ReadFile" + arg, "bytes_per_second", ">= 0.5"});
        ratios.push_back({"BM_ParseFile" + arg, "BM_ReadFile" + arg, "bytes_per_second", ""});
    }
    zvr3bench::runWithRatios(ratios);
    benchmark::Shutdown();
    return 0;
}
