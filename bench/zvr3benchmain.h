#ifndef ZVR3BENCHMAIN_H
#define ZVR3BENCHMAIN_H

// What the benchmark programs share: the CPU clocks, a percentile, and main()'s running and
// reporting of the benchmarks.
#include <benchmark/benchmark.h>

#include <QtGlobal>

#include <algorithm>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace zvr3bench {

// CPU seconds of the calling thread.
inline double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU seconds of the whole process, every thread's.
inline double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The value below which the fraction p of values lie (0 for none).
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size())));
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(at), values.end());
    return values[at];
}

// Sets the Qt platform to "offscreen" unless one is chosen: the simulator draws its pictures with
// QPainter, so the benchmarks that run it are GUI applications, but there is no screen.
inline void useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// main()'s part after the application object is made: runs the benchmarks chosen on the command
// line and reports them; returns main's exit code.
inline int runBenchmarks(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace zvr3bench

#endif // ZVR3BENCHMAIN_H
