// Fuzzes what the device answers in the connect handshake and in the
// communication check: whatever bytes come back, in whatever pieces, the
// stage ends with one of its own status codes, without a crash, an overrun
// or undefined behaviour, and leaves the device closed.
//
// The input: its first byte chooses the stage; then pieces of the form
// <length> <bytes>, each what one read returns (at most what it asked for).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/process_state.h"
#include "update/stages.h"

namespace {

const std::uint8_t* g_data = nullptr;
std::size_t g_left = 0;
bool g_open = false;
int g_handle = 0;

FT_STATUS WINAPI ListDevices(PVOID pArg1, PVOID pArg2, DWORD flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        *static_cast<DWORD*>(pArg1) = 1;
    } else {
        std::memset(pArg2, 0, FT_DESCRIPTION_SIZE);
        std::strcpy(static_cast<char*>(pArg2), "QVM7316");
    }
    return FT_OK;
}
FT_STATUS WINAPI OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    *handle = &g_handle;
    g_open = true;
    return FT_OK;
}
FT_STATUS WINAPI Close(FT_HANDLE) {
    g_open = false;
    return FT_OK;
}
FT_STATUS WINAPI Read(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    *got = 0;
    if (g_left == 0) return FT_OK;  // silence: the read times out
    std::size_t piece = std::min<std::size_t>({g_data[0], count, g_left - 1});
    std::memcpy(buffer, g_data + 1, piece);
    *got = static_cast<DWORD>(piece);
    g_data += 1 + piece;
    g_left -= 1 + piece;
    return FT_OK;
}
FT_STATUS WINAPI Write(FT_HANDLE, LPVOID, DWORD count, LPDWORD written) {
    *written = count;
    return FT_OK;
}
FT_STATUS WINAPI Purge(FT_HANDLE, ULONG) { return FT_OK; }
FT_STATUS WINAPI SetTimeouts(FT_HANDLE, ULONG, ULONG) { return FT_OK; }
FT_STATUS WINAPI GetQueueStatus(FT_HANDLE, DWORD* rx) {
    *rx = 0;
    return FT_OK;
}
FT_STATUS WINAPI GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* event) {
    *rx = *tx = *event = 0;
    return FT_OK;
}
FT_STATUS WINAPI SetLatencyTimer(FT_HANDLE, UCHAR) { return FT_OK; }

const D2xxOps kReplies = {"fuzzed replies",
#define ENTRY(call, params, args) call,
                          D2XX_CALLS(ENTRY)
#undef ENTRY
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static std::string log;
    static bool ready = [] {
        UseVirtualClock();
        LogToBuffer(&log);
        SelectD2xx(&kReplies);
        return true;
    }();
    (void)ready;
    ResetProcessState();
    log.clear();
    g_data = data + 1;
    g_left = size - 1;

    bool handshake = data[0] % 2 == 0;
    int status = handshake ? ConnectToProcessor() : CheckCommunication();
    bool known = status == 0 ||
                 (handshake ? status == BAD_HANDSHAKE : (status == COM_CHECK_FAILURE || status == USB_READ_FAILURE));
    if (!known || g_open) std::abort();
    return 0;
}
