// Fuzzes the trace reader: any bytes, plain or as a gzip file, are read or
// refused with a message naming the trace, never a crash or undefined
// behaviour. A trace that reads is then replayed to a fixed round of the
// program's calls, so that the replay copes with whatever a trace holds
// (huge counts and times, texts of any bytes, reads of nothing).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "sim/replay.h"
#include "sim/trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    sim::RecordedTrace trace;
    std::string error;
    if (!sim::ReadTraceBytes(bytes, "fuzz", trace, error)) {
        if (error.rfind("fuzz", 0) != 0) std::abort();
        return 0;
    }
    UseVirtualClock();
    ResetInterrupts();
    sim::StartReplay(std::move(trace), "fuzz");
    const D2xxOps& d = *sim::ReplayD2xx();
    DWORD count = 0, rx = 0, tx = 0, event = 0, done = 0;
    char text[FT_DESCRIPTION_SIZE] = {};
    char serial[] = "EMU00001";
    unsigned char buffer[600] = {0xE8};
    FT_HANDLE handle = nullptr;
    d.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    SleepMs(200);
    d.ListDevices(reinterpret_cast<PVOID>(std::uintptr_t{0}), text, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    d.OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle);
    d.Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    d.SetLatencyTimer(handle, 2);
    d.Write(handle, buffer, 1, &done);
    d.SetTimeouts(handle, 500, 0);
    d.GetQueueStatus(handle, &rx);
    SleepMs(1);
    d.GetStatus(handle, &rx, &tx, &event);
    d.Read(handle, buffer, sizeof buffer, &done);
    if (done > sizeof buffer) std::abort();
    d.Close(handle);
    sim::FinishReplay();
    if (sim::ReplayDiverged() == sim::ReplayReport().empty()) std::abort();
    return 0;
}
