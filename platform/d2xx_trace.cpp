#include "platform/d2xx_trace.h"

#include <cinttypes>
#include <cstdint>

#include "platform/clock.h"

namespace {

const D2xxOps* g_inner = nullptr;
std::FILE* g_out = nullptr;

void PutBytes(const void* data, DWORD count) {
    if (count == 0 || data == nullptr) {
        std::fputc('-', g_out);
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (DWORD i = 0; i < count; ++i) std::fprintf(g_out, "%02X", bytes[i]);
}

void Start(std::uint64_t ms, const char* call) { std::fprintf(g_out, "%" PRIu64 " %s", ms, call); }
void End() {
    std::fputc('\n', g_out);
    std::fflush(g_out);
}

FT_STATUS WINAPI TraceListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    std::uint64_t ms = NowMs();
    FT_STATUS st = g_inner->ListDevices(pArg1, pArg2, Flags);
    if (Flags & FT_LIST_NUMBER_ONLY) {
        Start(ms, "FT_ListDevices count");
        std::fprintf(g_out, " = %u %u", static_cast<unsigned>(st),
                     static_cast<unsigned>(pArg1 ? *static_cast<DWORD*>(pArg1) : 0u));
    } else if (Flags & FT_LIST_BY_INDEX) {
        Start(ms, "FT_ListDevices index");
        std::fprintf(g_out, " %u = %u \"%.*s\"", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pArg1)),
                     static_cast<unsigned>(st), FT_DESCRIPTION_SIZE,
                     (st == FT_OK && pArg2) ? static_cast<const char*>(pArg2) : "");
    } else {
        Start(ms, "FT_ListDevices");
        std::fprintf(g_out, " 0x%08X = %u", static_cast<unsigned>(Flags), static_cast<unsigned>(st));
    }
    End();
    return st;
}

FT_STATUS WINAPI TraceOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    std::uint64_t ms = NowMs();
    FT_STATUS st = g_inner->OpenEx(pArg1, Flags, pHandle);
    Start(ms, "FT_OpenEx");
    std::fprintf(g_out, " \"%s\" = %u", pArg1 ? static_cast<const char*>(pArg1) : "", static_cast<unsigned>(st));
    End();
    return st;
}

FT_STATUS WINAPI TraceClose(FT_HANDLE h) {
    std::uint64_t ms = NowMs();
    FT_STATUS st = g_inner->Close(h);
    Start(ms, "FT_Close");
    std::fprintf(g_out, " = %u", static_cast<unsigned>(st));
    End();
    return st;
}

FT_STATUS WINAPI TraceRead(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD returned) {
    std::uint64_t ms = NowMs();
    DWORD got = 0;
    FT_STATUS st = g_inner->Read(h, buffer, count, &got);
    if (returned) *returned = got;
    Start(ms, "FT_Read");
    std::fprintf(g_out, " %u = %u ", static_cast<unsigned>(count), static_cast<unsigned>(st));
    PutBytes(buffer, got <= count ? got : count);
    End();
    return st;
}

FT_STATUS WINAPI TraceWrite(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written) {
    std::uint64_t ms = NowMs();
    DWORD sent = 0;
    FT_STATUS st = g_inner->Write(h, buffer, count, &sent);
    if (written) *written = sent;
    Start(ms, "FT_Write");
    std::fputc(' ', g_out);
    PutBytes(buffer, count);
    std::fprintf(g_out, " = %u %u", static_cast<unsigned>(st), static_cast<unsigned>(sent));
    End();
    return st;
}

FT_STATUS WINAPI TracePurge(FT_HANDLE h, ULONG mask) {
    std::uint64_t ms = NowMs();
    FT_STATUS st = g_inner->Purge(h, mask);
    Start(ms, "FT_Purge");
    std::fprintf(g_out, " %u = %u", static_cast<unsigned>(mask), static_cast<unsigned>(st));
    End();
    return st;
}

FT_STATUS WINAPI TraceSetTimeouts(FT_HANDLE h, ULONG readMs, ULONG writeMs) {
    std::uint64_t ms = NowMs();
    FT_STATUS st = g_inner->SetTimeouts(h, readMs, writeMs);
    Start(ms, "FT_SetTimeouts");
    std::fprintf(g_out, " %u %u = %u", static_cast<unsigned>(readMs), static_cast<unsigned>(writeMs),
                 static_cast<unsigned>(st));
    End();
    return st;
}

FT_STATUS WINAPI TraceGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    std::uint64_t ms = NowMs();
    DWORD n = 0;
    FT_STATUS st = g_inner->GetQueueStatus(h, &n);
    if (rx) *rx = n;
    Start(ms, "FT_GetQueueStatus");
    std::fprintf(g_out, " = %u %u", static_cast<unsigned>(st), static_cast<unsigned>(n));
    End();
    return st;
}

FT_STATUS WINAPI TraceGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* event) {
    std::uint64_t ms = NowMs();
    DWORD r = rx ? *rx : 0, t = tx ? *tx : 0, e = event ? *event : 0;
    FT_STATUS st = g_inner->GetStatus(h, &r, &t, &e);
    if (rx) *rx = r;
    if (tx) *tx = t;
    if (event) *event = e;
    Start(ms, "FT_GetStatus");
    std::fprintf(g_out, " = %u %u %u %u", static_cast<unsigned>(st), static_cast<unsigned>(r),
                 static_cast<unsigned>(t), static_cast<unsigned>(e));
    End();
    return st;
}

const D2xxOps kTrace = {
    "trace",         TraceListDevices, TraceOpenEx,      TraceClose,          TraceRead,
    TraceWrite,      TracePurge,       TraceSetTimeouts, TraceGetQueueStatus, TraceGetStatus,
};

}  // namespace

const D2xxOps* TraceD2xx(const D2xxOps* inner, std::FILE* out) {
    g_inner = inner;
    g_out = out;
    return &kTrace;
}
