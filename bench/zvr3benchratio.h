#ifndef ZVR3BENCHRATIO_H
#define ZVR3BENCHRATIO_H

// Runs the registered benchmarks with the console output as usual, and then prints each figure
// next to its baseline from the same run, with their ratio:
//
//   ratio BM_ScanFile/256 / BM_ReadFile/256 (bytes_per_second): 5.11G / 7.32G = 0.698
//
// A benchmark is named by its function and arguments ("BM_ReadFile/256"), without min_time and
// the like. With --benchmark_repetitions the median is compared; a figure whose benchmark or
// baseline did not run (filtered out) is left out. A goal, when given, is printed after the ratio.
// A figure without a baseline is printed alone, with its goal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zvr3bench {

struct Ratio
{
    std::string name;      // the figure
    std::string baseline;  // what it is held against; empty for a figure printed alone
    std::string counter;   // compared counter, e.g. "bytes_per_second"
    std::string goal;      // e.g. ">= 0.5"; may be empty
};

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    explicit RatioReporter(std::vector<Ratio> ratios)
        : benchmark::ConsoleReporter(OO_None), m_ratios(std::move(ratios))
    {
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median)
                continue;
            std::string key = run.run_name.function_name;
            if (!run.run_name.args.empty())
                key += "/" + run.run_name.args;
            auto &slot = m_figures[key];
            if (median || !slot.median) {
                slot.median = median;
                for (const auto &[name, counter] : run.counters)
                    slot.counters[name] = counter.value;
            }
        }
    }

    void Finalize() override
    {
        for (const Ratio &r : m_ratios) {
            const double value = find(r.name, r.counter);
            if (value >= 0 && r.baseline.empty()) {
                std::fprintf(stdout, "figure %s (%s): %s%s%s\n", r.name.c_str(), r.counter.c_str(),
                             human(value).c_str(), r.goal.empty() ? "" : ", goal ", r.goal.c_str());
                continue;
            }
            const double base = find(r.baseline, r.counter);
            if (value < 0 || base <= 0)
                continue;
            std::fprintf(stdout, "ratio %s / %s (%s): %s / %s = %.3f%s%s\n", r.name.c_str(), r.baseline.c_str(),
                         r.counter.c_str(), human(value).c_str(), human(base).c_str(), value / base,
                         r.goal.empty() ? "" : ", goal ", r.goal.c_str());
        }
        std::fflush(stdout);
        benchmark::ConsoleReporter::Finalize();
    }

private:
    struct Figure
    {
        bool median = false;
        std::map<std::string, double> counters;
    };

    double find(const std::string &name, const std::string &counter) const
    {
        const auto figure = m_figures.find(name);
        if (figure == m_figures.end())
            return -1;
        const auto value = figure->second.counters.find(counter);
        return value == figure->second.counters.end() ? -1 : value->second;
    }

    static std::string human(double v)
    {
        char text[32];
        const char *unit = "";
        for (const char *u : {"k", "M", "G"}) {
            if (v < 1000)
                break;
            v /= 1000;
            unit = u;
        }
        std::snprintf(text, sizeof text, "%.3g%s", v, unit);
        return text;
    }

    std::vector<Ratio> m_ratios;
    std::map<std::string, Figure> m_figures;
};

// Runs what the command line selects, printing the ratios at the end.
inline void runWithRatios(std::vector<Ratio> ratios)
{
    RatioReporter reporter(std::move(ratios));
    benchmark::RunSpecifiedBenchmarks(&reporter);
}

} // namespace zvr3bench

#endif // ZVR3BENCHRATIO_H
