// What the benchmark programs share: a scratch folder of their own, and a
// report that puts two benchmarks of a run side by side as a ratio.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "protocol/limits.h"

// A folder with a unique name in the temporary folder, removed at the end.
class BenchFolder {
  public:
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvm7316-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch folder");
        path_ = pattern;
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The largest PROM image there is: 65,536 pages of 512 pseudo-random
// hexadecimal digits each, 33.7 MB, the same on every run.
inline void WriteLargestPromImage(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary);
    std::string line(2 * kPromPageSize, '0');
    std::uint32_t x = 1;
    for (std::uint32_t page = 0; page < kPromPageCount; ++page) {
        for (char& c : line) {
            x = x * 1103515245u + 12345u;
            c = "0123456789ABCDEF"[(x >> 16) & 15];
        }
        out << line << "\r\n";
    }
}

// The console report, then one line comparing two benchmarks: by
// throughput (bytes per second, higher is better) or by time per
// iteration. With repetitions, the mean is taken.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    enum class Measure { Throughput, Time };
    RatioReporter(std::string first, std::string second, Measure measure, std::string goal)
        : first_(std::move(first)), second_(std::move(second)), measure_(measure), goal_(std::move(goal)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // An iteration run, or the mean of repetitions (which follows them);
            // never the other aggregates (median, standard deviation, cv).
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") continue;
            double value = 0;
            if (measure_ == Measure::Throughput) {
                auto it = run.counters.find("bytes_per_second");
                if (it == run.counters.end()) continue;
                value = it->second.value / 1e6;
            } else {
                value = run.GetAdjustedRealTime();
            }
            values_[run.run_name.function_name] = value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto a = values_.find(first_), b = values_.find(second_);
        if (a == values_.end() || b == values_.end()) return;
        const char* unit = measure_ == Measure::Throughput ? "MB/s" : "per run";
        std::printf("%s %.1f %s, %s %.1f %s: ratio %.2f (%s)\n", first_.c_str(), a->second, unit, second_.c_str(),
                    b->second, unit, a->second / b->second, goal_.c_str());
    }

  private:
    std::string first_, second_;
    Measure measure_;
    std::string goal_;
    std::map<std::string, double> values_;
};

// The main of a benchmark program whose report ends in a ratio: runs the
// benchmarks the command line selects, then leaves the scratch folders,
// which are removed at exit.
inline int RunBenchmarks(int argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    return 0;
}
