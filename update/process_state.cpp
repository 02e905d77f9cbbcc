#include "update/process_state.h"

#include "device/link.h"
#include "image/hex_codec.h"
#include "platform/interrupt.h"
#include "update/check_images.h"
#include "update/gate_array_requests.h"
#include "update/program_prom.h"
#include "update/progress.h"
#include "update/run_report.h"
#include "update/stage.h"
#include "update/time_left.h"

void ResetProcessState() {
    ResetStageFiles();
    ResetImageCheck();
    ResetInterrupts();
    ResetDeviceLink();
    ResetProgress();
    ResetHexCodec();
    ResetGateArrayRequests();
    ResetProgramProm();
    ResetRunReport();
    ResetTimeLeft();
}
