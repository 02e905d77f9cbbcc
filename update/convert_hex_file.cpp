// The conversion stage: "gen.hex" becomes "gn.hex", the form in which the
// processor programming streams the firmware to the loader.
#include <cstdio>

#include "image/record_split.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/stage.h"
#include "update/stages.h"

int ConvertHexFile() {
    std::FILE* in = OpenImageFile("gen.hex", "rb");
    if (!in) {
        Log("failed to open gen.hex\n");
        return GiveUp(GEN_HEX_OPEN_FAILURE);
    }
    std::FILE* out = OpenImageFile("gn.hex", "w+b");
    if (!out) {
        Log("failed to open gn.hex\n");
        return GiveUp(GN_HEX_OPEN_FAILURE);
    }
    Log("Converting file format............\n");

    SplitRecords(in, out);

    if (CloseImageFile(in) != 0 || CloseImageFile(out) != 0) return GiveUp(FILE_CLOSE_FAILURE);

    Log("gen.hex to gn.hex conversion done\n");
    return FinishStage();
}
