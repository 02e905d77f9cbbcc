#include "update/process_state.h"

#include "app/progress.h"
#include "device/link.h"
#include "image/hex_codec.h"

void ResetProcessState() {
    ResetDeviceLink();
    ResetProgress();
    ResetHexCodec();
}
