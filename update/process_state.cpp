#include "update/process_state.h"

#include "app/progress.h"
#include "device/link.h"
#include "image/hex_codec.h"
#include "update/gate_array_requests.h"
#include "update/program_prom.h"

void ResetProcessState() {
    ResetDeviceLink();
    ResetProgress();
    ResetHexCodec();
    ResetGateArrayRequests();
    ResetProgramProm();
}
