#include "platform/d2xx_trace.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"

namespace {

// One lock for the trace's state below: the worker's calls write lines, the
// hand-over thread writes them out, and a handler on another thread may
// trace the close it makes. A call itself runs outside the lock, so that a
// read that waits holds up no one else.
std::mutex g_lock;
using Lock = std::lock_guard<std::mutex>;

const D2xxOps* g_inner = nullptr;
std::FILE* g_out = nullptr;
std::string g_name;
bool g_failed = false;  // a write failed: warned once, nothing more written

// The header line and comment lines wait for the first call, so that the
// run can still add to them (the images' digests, known after their check).
std::string g_header;
bool g_headerWritten = false;
std::vector<std::string> g_commentsBeforeCalls;

// The lines waiting to be written, gathered in one buffer and written out
// a megabyte at a time. A line is put together in place at g_at, in room
// that Begin has made for it.
std::vector<char> g_buffer;
std::size_t g_used = 0;
char* g_at = nullptr;
constexpr std::size_t kWriteAtOnce = 1u << 20;
// Room for the fixed parts of any line: numbers, names, a quoted text.
constexpr std::size_t kLineRoom = 512;

// The hand-over thread: every kTraceHandOverMs of real time it writes out
// what has gathered; asked to, it has the file written to the disk. Never
// destroyed, so that a program that ends without EndTrace does not wait
// for it.
struct HandOver {
    std::thread thread;
    std::condition_variable wake;
    bool running = false;
    bool stopping = false;
    bool syncDue = false;
};
HandOver& g_handOver = *new HandOver;

// One warning for a trace that cannot be written; the update goes on.
void Failed(int error) {
    if (g_failed) return;
    g_failed = true;
    std::fprintf(stderr, "qvm7316-update: cannot write the trace file %s: %s; the update goes on without it\n",
                 g_name.c_str(), std::strerror(error ? error : EIO));
}

bool WritePending() {
    if (g_out && !g_failed) {
        errno = 0;
        if (g_used > 0 && std::fwrite(g_buffer.data(), 1, g_used, g_out) != g_used)
            Failed(errno);
        else if (std::fflush(g_out) != 0)
            Failed(errno);
    }
    g_used = 0;
    return !g_failed;
}

// Room for `bytes` more at the end of the buffer: what is gathered is
// written out first when it would not fit.
char* MakeRoom(std::size_t bytes) {
    if (g_used + bytes > g_buffer.size()) {
        WritePending();
        if (bytes > g_buffer.size()) g_buffer.resize(std::max(bytes, 2 * kWriteAtOnce));
    }
    return g_buffer.data() + g_used;
}

// A whole line of text, its line end added.
void PutLine(const std::string& text) {
    char* at = MakeRoom(text.size() + 1);
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\n';
    g_used += text.size() + 1;
}

// The header and the comments given before the first call come first.
void WriteHeaderIfDue() {
    if (g_headerWritten) return;
    g_headerWritten = true;
    PutLine("# " + g_header);
    for (const std::string& comment : g_commentsBeforeCalls) PutLine("# " + comment);
    g_commentsBeforeCalls.clear();
}

void Append(const char* text, std::size_t length) {
    std::memcpy(g_at, text, length);
    g_at += length;
}
void Put(const char* text) { Append(text, std::strlen(text)); }
void Put(char c) { *g_at++ = c; }
void PutNumber(std::uint64_t value) { g_at = std::to_chars(g_at, g_at + 24, value).ptr; }

// Bytes as upper-case hexadecimal pairs without blanks; "-" for none.
void PutBytes(const void* data, DWORD count) {
    if (count == 0 || data == nullptr) {
        Put('-');
        return;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (DWORD i = 0; i < count; ++i) {
        *g_at++ = kDigits[bytes[i] >> 4];
        *g_at++ = kDigits[bytes[i] & 15];
    }
}

// A text in double quotes, at most `limit` characters of it; a quote, a
// backslash and any character outside printable ASCII are escaped (\", \\,
// \xHH), so that a line is always one line and reads back exactly.
void PutQuoted(const char* text, std::size_t limit) {
    Put('"');
    for (std::size_t i = 0; text && i < limit && text[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            Put('\\');
            Put(static_cast<char>(c));
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            Put(escaped);
        } else {
            Put(static_cast<char>(c));
        }
    }
    Put('"');
}

// How a listing or an open names the device.
const char* Naming(DWORD flags) {
    switch (D2xxNaming(flags)) {
        case FT_OPEN_BY_SERIAL_NUMBER:
            return "serial";
        case FT_OPEN_BY_DESCRIPTION:
            return "description";
        case FT_OPEN_BY_LOCATION:
            return "location";
        default:
            return nullptr;
    }
}

// A location as "0x" and eight upper-case hexadecimal digits.
void PutLocation(DWORD location) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(location));
    Put(text);
}

// Starts a line, with room for its fixed parts and `dataBytes` bytes of data.
void Begin(std::uint64_t ms, D2xxCall call, DWORD dataBytes = 0) {
    WriteHeaderIfDue();
    g_at = MakeRoom(kLineRoom + 2 * static_cast<std::size_t>(dataBytes));
    PutNumber(ms);
    Put(' ');
    Put(D2xxCallName(call));
}

void PutStatus(FT_STATUS status) {
    Put(" = ");
    PutNumber(status);
}

void End() {
    Put('\n');
    g_used = static_cast<std::size_t>(g_at - g_buffer.data());
    if (g_used >= kWriteAtOnce) WritePending();
}

FT_STATUS WINAPI TraceListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    std::uint64_t ms = NowMs();
    FT_STATUS status = g_inner->ListDevices(pArg1, pArg2, Flags);
    Lock lock(g_lock);
    Begin(ms, D2xxCall::ListDevices);
    if (Flags & FT_LIST_NUMBER_ONLY) {
        Put(" count");
        PutStatus(status);
        Put(' ');
        PutNumber(pArg1 ? *static_cast<DWORD*>(pArg1) : 0u);
    } else if ((Flags & FT_LIST_BY_INDEX) && !(Flags & FT_LIST_ALL) && Naming(Flags)) {
        Put(" index ");
        PutNumber(reinterpret_cast<std::uintptr_t>(pArg1));
        Put(' ');
        Put(Naming(Flags));
        PutStatus(status);
        Put(' ');
        if (D2xxNaming(Flags) != FT_OPEN_BY_LOCATION)
            PutQuoted(status == FT_OK ? static_cast<const char*>(pArg2) : nullptr, FT_DESCRIPTION_SIZE);
        else if (status == FT_OK && pArg2)
            PutLocation(*static_cast<DWORD*>(pArg2));
        else
            Put('-');
    } else {
        char flags[16];
        std::snprintf(flags, sizeof flags, " 0x%08X", static_cast<unsigned>(Flags));
        Put(flags);
        PutStatus(status);
    }
    End();
    return status;
}

FT_STATUS WINAPI TraceOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    std::uint64_t ms = NowMs();
    FT_STATUS status = g_inner->OpenEx(pArg1, Flags, pHandle);
    Lock lock(g_lock);
    Begin(ms, D2xxCall::OpenEx);
    if (const char* naming = Naming(Flags); naming && D2xxNaming(Flags) == Flags) {
        Put(' ');
        Put(naming);
        Put(' ');
        if (Flags == FT_OPEN_BY_LOCATION)
            PutLocation(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1)));
        else
            PutQuoted(static_cast<const char*>(pArg1), FT_DESCRIPTION_SIZE);
    } else {
        Put(" flags ");
        PutNumber(Flags);
    }
    PutStatus(status);
    End();
    return status;
}

FT_STATUS WINAPI TraceClose(FT_HANDLE ftHandle) {
    std::uint64_t ms = NowMs();
    FT_STATUS status = g_inner->Close(ftHandle);
    Lock lock(g_lock);
    Begin(ms, D2xxCall::Close);
    PutStatus(status);
    End();
    return status;
}

FT_STATUS WINAPI TraceRead(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
    std::uint64_t ms = NowMs();
    DWORD got = 0;
    FT_STATUS status = g_inner->Read(ftHandle, lpBuffer, dwBytesToRead, &got);
    if (lpBytesReturned) *lpBytesReturned = got;
    Lock lock(g_lock);
    Begin(ms, D2xxCall::Read, got <= dwBytesToRead ? got : dwBytesToRead);
    Put(' ');
    PutNumber(dwBytesToRead);
    PutStatus(status);
    Put(' ');
    PutBytes(lpBuffer, got <= dwBytesToRead ? got : dwBytesToRead);
    End();
    return status;
}

FT_STATUS WINAPI TraceWrite(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
    std::uint64_t ms = NowMs();
    DWORD sent = 0;
    FT_STATUS status = g_inner->Write(ftHandle, lpBuffer, dwBytesToWrite, &sent);
    if (lpBytesWritten) *lpBytesWritten = sent;
    Lock lock(g_lock);
    Begin(ms, D2xxCall::Write, dwBytesToWrite);
    Put(' ');
    PutBytes(lpBuffer, dwBytesToWrite);
    PutStatus(status);
    Put(' ');
    PutNumber(sent);
    End();
    return status;
}

// The line of a call whose one argument is a number: "<call> <n> = <status>".
FT_STATUS TraceNumberCall(std::uint64_t ms, D2xxCall call, std::uint64_t argument, FT_STATUS status) {
    Lock lock(g_lock);
    Begin(ms, call);
    Put(' ');
    PutNumber(argument);
    PutStatus(status);
    End();
    return status;
}

FT_STATUS WINAPI TracePurge(FT_HANDLE ftHandle, ULONG Mask) {
    std::uint64_t ms = NowMs();
    return TraceNumberCall(ms, D2xxCall::Purge, Mask, g_inner->Purge(ftHandle, Mask));
}

FT_STATUS WINAPI TraceSetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
    std::uint64_t ms = NowMs();
    FT_STATUS status = g_inner->SetTimeouts(ftHandle, ReadTimeout, WriteTimeout);
    Lock lock(g_lock);
    Begin(ms, D2xxCall::SetTimeouts);
    Put(' ');
    PutNumber(ReadTimeout);
    Put(' ');
    PutNumber(WriteTimeout);
    PutStatus(status);
    End();
    return status;
}

FT_STATUS WINAPI TraceGetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
    std::uint64_t ms = NowMs();
    DWORD rx = 0;
    FT_STATUS status = g_inner->GetQueueStatus(ftHandle, &rx);
    if (dwRxBytes) *dwRxBytes = rx;
    Lock lock(g_lock);
    Begin(ms, D2xxCall::GetQueueStatus);
    PutStatus(status);
    Put(' ');
    PutNumber(rx);
    End();
    return status;
}

FT_STATUS WINAPI TraceGetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord) {
    std::uint64_t ms = NowMs();
    DWORD rx = dwRxBytes ? *dwRxBytes : 0, tx = dwTxBytes ? *dwTxBytes : 0, event = dwEventDWord ? *dwEventDWord : 0;
    FT_STATUS status = g_inner->GetStatus(ftHandle, &rx, &tx, &event);
    if (dwRxBytes) *dwRxBytes = rx;
    if (dwTxBytes) *dwTxBytes = tx;
    if (dwEventDWord) *dwEventDWord = event;
    Lock lock(g_lock);
    Begin(ms, D2xxCall::GetStatus);
    PutStatus(status);
    for (DWORD count : {rx, tx, event}) {
        Put(' ');
        PutNumber(count);
    }
    End();
    return status;
}

FT_STATUS WINAPI TraceSetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucTimer) {
    std::uint64_t ms = NowMs();
    return TraceNumberCall(ms, D2xxCall::SetLatencyTimer, ucTimer, g_inner->SetLatencyTimer(ftHandle, ucTimer));
}

// The wrapper goes by the name of the driver it wraps.
D2xxOps g_trace = {"trace",
#define TRACE_ENTRY(call, params, args) Trace##call,
                   D2XX_CALLS(TRACE_ENTRY)
#undef TRACE_ENTRY
};

// Has the file written to the disk; with g_lock held, which it lets go
// meanwhile when `unlock` is given.
void SyncWithLock(std::unique_lock<std::mutex>* unlock) {
    if (!WritePending() || !g_out) return;
    std::FILE* out = g_out;
    if (unlock) unlock->unlock();
    errno = 0;
    bool synced = SyncToDisk(out);
    int error = errno;
    if (unlock) unlock->lock();
    if (!synced) Failed(error);
}

void HandOverThread() {
    HandOver& h = g_handOver;
    std::unique_lock<std::mutex> lock(g_lock);
    while (!h.stopping) {
        h.wake.wait_for(lock, std::chrono::milliseconds(kTraceHandOverMs), [&h] { return h.stopping || h.syncDue; });
        if (h.syncDue) {
            h.syncDue = false;
            SyncWithLock(&lock);
        } else if (g_used > 0) {
            WritePending();
        }
    }
}

void StartHandOver() {
    HandOver& h = g_handOver;
    h.stopping = false;
    h.syncDue = false;
    h.running = true;
    h.thread = std::thread(HandOverThread);
}

// Without g_lock held.
void StopHandOver() {
    HandOver& h = g_handOver;
    if (!h.running) return;
    {
        Lock lock(g_lock);
        h.stopping = true;
    }
    h.wake.notify_one();
    h.thread.join();
    h.running = false;
}

// A program that ends by exit() still leaves the trace complete.
void WriteAtExit() {
    StopHandOver();
    Lock lock(g_lock);
    WriteHeaderIfDue();
    WritePending();
}

}  // namespace

const D2xxOps* TraceD2xx(const D2xxOps* inner, std::FILE* out, const std::string& name,
                         const std::string& headerFields) {
    StopHandOver();
    {
        Lock lock(g_lock);
        g_inner = inner;
        g_out = out;
        g_name = name;
        g_failed = false;
        g_used = 0;
        g_header = "qvm7316-update trace " + std::to_string(kTraceFormatVersion) + " " QVM7316_VERSION;
        if (!headerFields.empty()) g_header += " " + headerFields;
        g_headerWritten = false;
        g_commentsBeforeCalls.clear();
        g_trace.name = inner->name;
        static const bool registered = std::atexit(WriteAtExit) == 0;
        (void)registered;
        g_commentsBeforeCalls.push_back(std::string("driver ") + inner->name);
    }
    if (out) StartHandOver();
    return &g_trace;
}

void AddTraceHeaderFields(const std::string& fields) {
    Lock lock(g_lock);
    if (!g_headerWritten && !fields.empty()) g_header += " " + fields;
}

void TraceComment(const std::string& text) {
    Lock lock(g_lock);
    if (!g_headerWritten) {
        g_commentsBeforeCalls.push_back(text);
        return;
    }
    PutLine("# " + text);
}

bool FlushTrace() {
    Lock lock(g_lock);
    WriteHeaderIfDue();
    return WritePending();
}

void SyncTrace(bool wait) {
    if (!wait) {
        {
            Lock lock(g_lock);
            if (!g_out) return;
            WriteHeaderIfDue();
            WritePending();
            g_handOver.syncDue = true;
        }
        g_handOver.wake.notify_one();
        return;
    }
    Lock lock(g_lock);
    WriteHeaderIfDue();
    SyncWithLock(nullptr);
}

void EndTrace() {
    StopHandOver();
    Lock lock(g_lock);
    WriteHeaderIfDue();
    WritePending();
    if (g_out) {
        errno = 0;
        if (std::fclose(g_out) != 0) Failed(errno);
    }
    g_out = nullptr;
}
