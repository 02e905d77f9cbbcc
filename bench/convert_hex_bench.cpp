// Converting an 8 MiB gen.hex into gn.hex, next to srecord's srec_cat
// re-blocking the same file so that no record crosses a 128-byte boundary,
// both in MB/s of input in the same run. The goal: faster than srec_cat.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "hex_gen.h"
#include "image/record_split.h"
#include "update/process_state.h"

namespace {

constexpr std::size_t kFileSize = 8u << 20;
std::uintmax_t g_inputBytes = 0;

// A folder holding the generated gen.hex: 16-byte records that start 8 bytes
// off, so every eighth runs across a 128-byte boundary, as a linker's output
// often does. Made once per run.
const std::filesystem::path& WorkDir() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() / "qvm7316-convert-bench";
        std::filesystem::create_directories(path);
        HexGenOptions options;
        options.textBytes = kFileSize;
        options.minRecord = options.maxRecord = 16;
        options.contiguous = true;
        options.startAddress = 8;
        std::ofstream(path / "gen.hex", std::ios::binary) << GenerateIntelHex(options);
        g_inputBytes = std::filesystem::file_size(path / "gen.hex");
        return path;
    }();
    return dir;
}

// The stage logs two lines per conversion; keep them out of the report.
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        std::FILE* null = std::fopen("/dev/null", "w");
        dup2(fileno(null), 1);
        std::fclose(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

  private:
    int saved_;
};

void BM_ConvertHexFile(benchmark::State& state) {
    std::filesystem::current_path(WorkDir());
    ResetProcessState();
    for (auto _ : state) {
        QuietStdout quiet;
        if (ConvertHexFile() != 0) state.SkipWithError("the conversion failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_inputBytes));
}
BENCHMARK(BM_ConvertHexFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SrecCatReblock128(benchmark::State& state) {
    std::filesystem::current_path(WorkDir());
    const char* command =
        "srec_cat gen.hex -intel -o srec.hex -intel -Output_Block_Size=128 -Output_Block_Alignment "
        ">/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(command) != 0) state.SkipWithError("srec_cat (Debian package srecord) failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_inputBytes));
}
BENCHMARK(BM_SrecCatReblock128)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console report, then both throughputs and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value / 1e6;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double ours = Rate("BM_ConvertHexFile"), theirs = Rate("BM_SrecCatReblock128");
        if (ours > 0 && theirs > 0)
            std::printf("ConvertHexFile %.1f MB/s, srec_cat %.1f MB/s, ratio %.2f\n", ours, theirs, ours / theirs);
    }

  private:
    double Rate(const std::string& prefix) const {
        for (const auto& [name, rate] : rates_)
            if (name.rfind(prefix, 0) == 0) return rate;
        return 0;
    }
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    WorkDir();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(WorkDir());
    return 0;
}
