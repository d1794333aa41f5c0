#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Decodes the whole of `stored` through `strategy` once per iteration, as the installer decodes an item's
// data (`Reader` is the in-memory stream reader over `stored`). False, with the run marked failed, on an
// error.
template <typename Reader, typename Strategy, typename Bytes>
bool DecodeEachIteration(benchmark::State& state, Strategy& strategy, const Bytes& stored,
                         const char* failure)
{
    std::vector<char> buffer(static_cast<size_t>(strategy.bufferSize()));
    for (auto _ : state)
    {
        Reader reader(stored);
        int64_t remaining = static_cast<int64_t>(stored.size());
        while (remaining != 0)
        {
            if (strategy.process(&reader, remaining, buffer.data()) < 0)
            {
                state.SkipWithError(failure);
                return false;
            }
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    return true;
}

// Keeps, per benchmark function, the best run: the shortest real and CPU time per iteration and the highest
// value of every counter, so that a benchmark's main can compare our code with its reference at the end.
class BestRunReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
        {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
            {
                continue;
            }
            Best& best = best_[run.run_name.function_name];
            best.realTime = best.runs == 0 ? run.GetAdjustedRealTime()
                                           : std::min(best.realTime, run.GetAdjustedRealTime());
            best.cpuTime =
                best.runs == 0 ? run.GetAdjustedCPUTime() : std::min(best.cpuTime, run.GetAdjustedCPUTime());
            for (const auto& counter : run.counters)
            {
                double& highest = best.counters[counter.first];
                highest = std::max(highest, static_cast<double>(counter.second));
            }
            ++best.runs;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // 0 for a benchmark that did not run.
    double RealTime(const std::string& name) const { return Find(name).realTime; }
    // CPU time: on a shared machine the wall clock also counts other processes.
    double CpuTime(const std::string& name) const { return Find(name).cpuTime; }
    double Highest(const std::string& name, const std::string& counter) const
    {
        const Best& best = Find(name);
        const auto it = best.counters.find(counter);
        return it != best.counters.end() ? it->second : 0;
    }

    // The best "bytes_per_second" of our benchmark and of its reference, in MiB/s.
    struct Rates
    {
        double ours = 0;
        double reference = 0;
        double Ratio() const { return ours / reference; }
    };
    // Empty when either did not run.
    std::optional<Rates> BestRates(const std::string& ours, const std::string& reference) const
    {
        const double oursRate = Highest(ours, "bytes_per_second");
        const double referenceRate = Highest(reference, "bytes_per_second");
        if (oursRate <= 0 || referenceRate <= 0)
            return std::nullopt;
        return Rates{oursRate / (1 << 20), referenceRate / (1 << 20)};
    }

    // "LABEL: R x the reference speed (target T) ok", R being the reference's CPU time over ours.
    void PrintSpeedRatio(const std::string& label, const std::string& ours, const std::string& reference,
                         double target) const
    {
        const double oursTime = CpuTime(ours);
        const double referenceTime = CpuTime(reference);
        if (oursTime > 0 && referenceTime > 0)
        {
            const double ratio = referenceTime / oursTime;
            std::printf("%s: %.2f x the reference speed (target %.2f) %s\n", label.c_str(), ratio, target,
                        ratio >= target ? "ok" : "BELOW TARGET");
        }
    }

private:
    struct Best
    {
        int runs = 0;
        double realTime = 0;
        double cpuTime = 0;
        std::map<std::string, double> counters;
    };

    const Best& Find(const std::string& name) const
    {
        static const Best kNone;
        const auto it = best_.find(name);
        return it != best_.end() ? it->second : kNone;
    }

    std::map<std::string, Best> best_;
};
