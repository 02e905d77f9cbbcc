// What the FTDI chip's latency timer costs a whole update, in virtual time:
// the update with the largest images the device takes (a gen.hex filling
// the processor's 64 KiB in 16-byte records, a genprom.hex of 65,536 full
// pages, a GEN.dat of 1,000,000 bytes) against the emulated device, whose
// chip holds every short reply until its timer runs out, counted from its
// last packet. Each run with the chip's default of 16 ms and with the
// update's 2 ms; then both again with the UART's line time at 9,600 baud
// added (the rate the driver leaves set; the device's own is not known).
//
// Prints, for each, the whole run's length, the processor programming's
// time per line, the PROM programming's length and the gate-array
// programming's time per block request (both passes, from the first answer
// to the last: its pause after every 100th answer included),
// and what the shorter timer saves. A run takes a second or two; one over
// the slow line about a minute (its PROM programming alone lasts hours in
// virtual time, polling the transmit queue every millisecond).
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "bench_support.h"
#include "device/link.h"
#include "hex_gen.h"
#include "platform/clock.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "update/process_state.h"
#include "update/run_update.h"

namespace {

// The connections of an update, in order: the handshake, the processor
// programming, the reset's two, the PROM erase and programming, the
// communication check, the gate-array erase and programming.
constexpr int kProcessorConnection = 1;
constexpr int kPromConnection = 5;
constexpr int kGateArrayConnection = 8;
constexpr char kBootStatusRecord[] = ":03000003060000F4";

// The first and last time of a kind of write, and how many.
struct Span {
    std::uint64_t first = 0, last = 0, count = 0;
    void Add(std::uint64_t ms) {
        if (count++ == 0) first = ms;
        last = ms;
    }
    double MsEach() const { return count > 1 ? static_cast<double>(last - first) / static_cast<double>(count - 1) : 0; }
};

// The emulator's calls, watched: which connection a write belongs to, and
// when the processor's lines and the gate array's answers went out.
const D2xxOps* g_emulator = nullptr;
int g_connection = -1;
Span g_lines, g_prom, g_answers;

FT_STATUS WINAPI WatchOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    FT_STATUS status = g_emulator->OpenEx(pArg1, Flags, pHandle);
    if (status == FT_OK) ++g_connection;
    return status;
}

FT_STATUS WINAPI WatchWrite(FT_HANDLE h, LPVOID bytes, DWORD count, LPDWORD written) {
    std::string_view text(static_cast<const char*>(bytes), count);
    if (g_connection == kProcessorConnection && count > 1 && text != kBootStatusRecord) g_lines.Add(NowMs());
    if (g_connection == kPromConnection) g_prom.Add(NowMs());
    if (g_connection == kGateArrayConnection && count == 2 * kGateArrayBlockSize) g_answers.Add(NowMs());
    return g_emulator->Write(h, bytes, count, written);
}

const D2xxOps* Watched() {
    static D2xxOps ops = [] {
        g_emulator = sim::EmulatorD2xx();
        D2xxOps watched = *g_emulator;
        watched.OpenEx = WatchOpenEx;
        watched.Write = WatchWrite;
        return watched;
    }();
    return &ops;
}

// The largest images the device takes, in the working folder.
void WriteLargestImages() {
    std::ofstream hex("gen.hex", std::ios::binary);
    std::string data(16, '\0');
    for (std::uint32_t address = 0; address < 0x10000; address += 16) {
        for (unsigned i = 0; i < 16; ++i) data[i] = static_cast<char>(address * 7 + i);
        hex << HexRecord(address, 0x00, data) << "\r\n";
    }
    hex << HexRecord(0, 0x01, "") << "\r\n";
    WriteLargestPromImage("genprom.hex");
    std::ofstream gateArray("GEN.dat", std::ios::binary);
    std::uint32_t x = 7;
    for (std::uint32_t i = 0; i < kGateArrayImageLimit; ++i) {
        x = x * 1103515245u + 12345u;
        gateArray.put(static_cast<char>(x >> 16));
    }
}

struct Figures {
    bool ok = false;
    double runS = 0;
    double msPerLine = 0;
    double msPerRequest = 0;
    double promS = 0;
    std::uint64_t lines = 0, requests = 0;
};

Figures Run(unsigned latencyMs, std::uint32_t lineRate) {
    ResetProcessState();
    ChooseLatencyTimer(latencyMs);
    UseVirtualClock();
    sim::Scenario scenario;
    scenario.lineRateBaud = lineRate;
    sim::StartEmulator(scenario);
    g_connection = -1;
    g_lines = g_prom = g_answers = Span{};
    SelectD2xx(Watched());
    // The log goes nowhere: over a slow line the PROM programming's waits
    // for the transmit queue make hundreds of megabytes of it.
    std::fflush(stdout);
    int console = dup(STDOUT_FILENO);
    int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, STDOUT_FILENO);
    close(nowhere);
    Figures f;
    f.ok = UpdateWorker() == 0;
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    if (!f.ok) std::fprintf(stderr, "the update failed: %s\n", LastFailure().c_str());
    f.runS = static_cast<double>(NowMs()) / 1000;
    f.msPerLine = g_lines.MsEach();
    f.msPerRequest = g_answers.MsEach();
    f.promS = static_cast<double>(g_prom.last - g_prom.first) / 1000;
    f.lines = g_lines.count;
    f.requests = g_answers.count;
    return f;
}

// A row of figures at both timers, and what the shorter one saves.
void Row(const char* what, double slow, double quick, const char* unit) {
    double saved = slow - quick;
    if (std::abs(saved) < 0.005) saved = 0;  // no "-0.00"
    std::printf("  %-36s %9.2f %-2s %9.2f %-2s %9.2f %s", what, slow, unit, quick, unit, saved, unit);
}

void Compare(const char* title, std::uint32_t lineRate) {
    Figures slow = Run(kChipDefaultLatencyMs, lineRate);
    Figures quick = Run(kDefaultLatencyTimerMs, lineRate);
    if (!slow.ok || !quick.ok) return;
    std::printf("%s\n", title);
    std::printf("  %-36s %12s %12s %12s\n", "", "timer 16 ms", "timer 2 ms", "saved");
    Row("whole update", slow.runS, quick.runS, "s");
    std::printf(" (%.0f %%)\n", 100 * (slow.runS - quick.runS) / slow.runS);
    Row("processor programming, per line", slow.msPerLine, quick.msPerLine, "ms");
    std::printf("\n");
    Row("PROM programming", slow.promS, quick.promS, "s");
    std::printf("\n");
    Row("gate-array programming, per request", slow.msPerRequest, quick.msPerRequest, "ms");
    std::printf("\n  (%llu lines; %llu requests over both passes)\n\n", static_cast<unsigned long long>(quick.lines),
                static_cast<unsigned long long>(quick.requests));
    std::fflush(stdout);
}

}  // namespace

int main() {
    BenchFolder folder;
    std::filesystem::current_path(folder.Path());
    WriteLargestImages();
    std::printf(
        "The largest images, in virtual time: gen.hex of 64 KiB in 16-byte records, genprom.hex of "
        "65,536 pages, GEN.dat of 1,000,000 bytes\n\n");
    Compare("the device answering at once", 0);
    Compare("with the UART's line time at 9,600 baud", 9600);
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    return 0;
}
