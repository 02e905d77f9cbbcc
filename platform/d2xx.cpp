#include "platform/d2xx.h"

#include <cstring>

#include "platform/interrupt.h"
#include "platform/log.h"

namespace {

// Every call of the missing library fails; the first one a run makes is
// the device count, so OpenDevice stops there.
template <typename... Args>
FT_STATUS WINAPI MissingCall(Args...) {
    return FT_OTHER_ERROR;
}

const D2xxOps kMissing = {"none",
#define MISSING_ENTRY(call, params, args) MissingCall,
                          D2XX_CALLS(MISSING_ENTRY)
#undef MISSING_ENTRY
};

const char* const kCallNames[] = {
#define CALL_NAME(call, params, args) "FT_" #call,
    D2XX_CALLS(CALL_NAME)
#undef CALL_NAME
};

// The backend in use; chosen once at start-up.
const D2xxOps* g_ops = &kMissing;

// Whether FT_Write has been called since the last ForgetD2xxWrites.
bool g_writeMade = false;

// Why no driver could be loaded.
std::string g_unavailableReason;

}  // namespace

const char* D2xxCallName(D2xxCall call) { return kCallNames[static_cast<int>(call)]; }

bool D2xxCallByName(const char* name, D2xxCall& call) {
    for (int i = 0; i < kD2xxCallCount; ++i) {
        if (std::strcmp(name, kCallNames[i]) == 0) {
            call = static_cast<D2xxCall>(i);
            return true;
        }
    }
    return false;
}

DWORD D2xxNaming(DWORD flags) {
    DWORD naming = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
    bool one = naming == FT_OPEN_BY_SERIAL_NUMBER || naming == FT_OPEN_BY_DESCRIPTION || naming == FT_OPEN_BY_LOCATION;
    return one ? naming : 0;
}

const D2xxOps* MissingD2xx() { return &kMissing; }

const D2xxOps* UnavailableD2xx(const std::string& reason) {
    g_unavailableReason = reason;
    Log("%s\n", reason.c_str());
    return &kMissing;
}

std::string D2xxUnavailableReason() { return g_ops == &kMissing ? g_unavailableReason : ""; }
void SelectD2xx(const D2xxOps* ops) { g_ops = ops ? ops : &kMissing; }
const D2xxOps* SelectedD2xx() { return g_ops; }

bool D2xxWriteMade() { return g_writeMade; }
void ForgetD2xxWrites() { g_writeMade = false; }

// Every call but a close first gives a requested stop its chance
// (platform/interrupt.h): a stop never keeps a connection from being
// closed. A write is remembered before it is made, since even a failing one
// may have reached the device.
#define DISPATCH(call, params, args)                               \
    FT_STATUS FT_##call params {                                   \
        if (D2xxCall::call != D2xxCall::Close) CheckForStop();     \
        if (D2xxCall::call == D2xxCall::Write) g_writeMade = true; \
        return g_ops->call args;                                   \
    }
D2XX_CALLS(DISPATCH)
#undef DISPATCH
