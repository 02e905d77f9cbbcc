// Reading whole and checking the largest images the device takes: a gen.hex
// of 1 MiB of data in 16-byte records, a genprom.hex of 65,536 full pages
// and a GEN.dat of 1,000,000 bytes. The goal: each well under a second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "hex_gen.h"
#include "image/image_check.h"
#include "platform/files.h"

namespace {

// A folder of this run's own holding the three images, made once.
const std::filesystem::path& WorkDir() {
    static BenchFolder folder;
    static const std::filesystem::path dir = [] {
        const std::filesystem::path& path = folder.Path();

        std::ofstream hex(path / "gen.hex", std::ios::binary);
        std::string data(16, '\0');
        for (std::uint32_t address = 0; address < (1u << 20); address += 16) {
            if (address % 0x10000 == 0)
                hex << HexRecord(0, 0x04, {static_cast<char>(address >> 24), static_cast<char>(address >> 16)})
                    << "\r\n";
            for (unsigned i = 0; i < 16; ++i) data[i] = static_cast<char>(address * 7 + i);
            hex << HexRecord(address & 0xFFFF, 0x00, data) << "\r\n";
        }
        hex << HexRecord(0, 0x01, "") << "\r\n";

        WriteLargestPromImage(path / "genprom.hex");

        std::ofstream(path / "GEN.dat", std::ios::binary) << std::string(1000000, '\x5A');
        return path;
    }();
    return dir;
}

void RunCheck(benchmark::State& state, const char* name, ImageCheck (*checker)(std::string_view)) {
    const std::string path = (WorkDir() / name).string();
    std::uint64_t size = 0;
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        FileContents contents = ReadWholeFile(file, kPromHexMaxBytes);
        std::fclose(file);
        ImageCheck result = checker(contents.bytes);
        if (!result.problems.empty()) state.SkipWithError(result.problems[0].c_str());
        size = result.size;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_CheckGenHex(benchmark::State& state) { RunCheck(state, "gen.hex", CheckGenHex); }
void BM_CheckPromHex(benchmark::State& state) { RunCheck(state, "genprom.hex", CheckPromHex); }
void BM_CheckGateArrayImage(benchmark::State& state) { RunCheck(state, "GEN.dat", CheckGateArrayImage); }
BENCHMARK(BM_CheckGenHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckPromHex)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckGateArrayImage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
