// The host's share of one gate-array block request: receive and convert the
// request, accept it, format the 32 bytes from the image in memory as 64
// characters and write them, against a D2XX backend that answers at once. The goal is well under
// the USB round trip of a millisecond or more: below 2 microseconds.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "device/link.h"
#include "update/gate_array_requests.h"
#include "update/process_state.h"

namespace {

constexpr std::uint32_t kImageSize = 32000;
// The requests the backend hands out in turn, as the device sends them.
std::vector<std::array<char, 6>> g_requests;
std::size_t g_next = 0;

void SetRequests(const std::vector<std::uint32_t>& numbers) {
    g_requests.clear();
    for (std::uint32_t n : numbers) {
        char text[8];
        std::snprintf(text, sizeof text, "%06u", n);
        g_requests.push_back({text[0], text[1], text[2], text[3], text[4], text[5]});
    }
    g_next = 0;
}

FT_STATUS WINAPI InstantRead(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    DWORD n = count < 6 ? count : 6;
    std::memcpy(buffer, g_requests[g_next].data(), n);
    if (++g_next == g_requests.size()) g_next = 0;
    *got = n;
    return FT_OK;
}
FT_STATUS WINAPI InstantWrite(FT_HANDLE, LPVOID, DWORD count, LPDWORD written) {
    *written = count;
    return FT_OK;
}
// Nothing else is called while requests are served.
const D2xxOps& Instant() {
    static const D2xxOps ops = [] {
        D2xxOps instant = *MissingD2xx();
        instant.name = "instant";
        instant.Read = InstantRead;
        instant.Write = InstantWrite;
        return instant;
    }();
    return ops;
}

// A GEN.dat of kImageSize bytes in a scratch folder, taken as a stage would.
std::string_view TakeImage() {
    ResetProcessState();
    static BenchFolder folder;
    std::filesystem::current_path(folder.Path());
    std::ofstream out("GEN.dat", std::ios::binary | std::ios::trunc);
    for (std::uint32_t i = 0; i < kImageSize; ++i) out.put(static_cast<char>(i * 37 + 11));
    out.close();
    std::string_view image;
    TakeGateArrayImage(image);  // logs "MaxSize = 32000" once per benchmark
    return image;
}

void ServeRequests(benchmark::State& state) {
    SelectD2xx(&Instant());
    std::string_view image = TakeImage();
    g_deviceHandle = &g_next;
    for (auto _ : state) {
        std::int32_t request = 0;
        ReceiveBlockRequest(request);
        if (AcceptBlockRequest(request)) AnswerBlockRequest(image, request);
        benchmark::DoNotOptimize(g_lineBuffer[0]);
    }
    state.SetItemsProcessed(state.iterations());
    ResetProcessState();
}

// The device's own order: every block, one after the other.
void BM_ServeBlockRequestInOrder(benchmark::State& state) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t offset = 0; offset < kImageSize; offset += 32) numbers.push_back(offset + 1);
    SetRequests(numbers);
    ServeRequests(state);
}
BENCHMARK(BM_ServeBlockRequestInOrder);

// Any order, as a device that asks again might: no answer depends on the one before.
void BM_ServeBlockRequestScattered(benchmark::State& state) {
    std::vector<std::uint32_t> numbers;
    std::uint32_t x = 12345;
    for (int i = 0; i < 4096; ++i) {
        x = x * 1103515245u + 12345u;
        numbers.push_back((x >> 8) % (kImageSize - 1) + 1);
    }
    SetRequests(numbers);
    ServeRequests(state);
}
BENCHMARK(BM_ServeBlockRequestScattered);

}  // namespace

BENCHMARK_MAIN();
