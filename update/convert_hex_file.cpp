// The conversion stage: "gen.hex" becomes "gn.hex", the form in which the
// processor programming streams the firmware to the loader. The text is
// made in memory from the checked gen.hex, kept for the processor
// programming, and written to "gn.hex" as well.
#include <cstdio>
#include <string>

#include "image/record_split.h"
#include "platform/files.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/stage.h"
#include "update/stages.h"

int ConvertHexFile() {
    const std::string* genHex = ImageToSend("gen.hex");
    if (!genHex) return GiveUp(GEN_HEX_OPEN_FAILURE);
    std::string reason;
    std::FILE* out = AdoptImageFile(CreateRegularFile("gn.hex", reason));
    if (!out) {
        Log("failed to open gn.hex\n%s\n", reason.c_str());
        return GiveUp(GN_HEX_OPEN_FAILURE);
    }
    Log("Converting file format............\n");

    std::string firmware = SplitRecords(*genHex);
    std::fwrite(firmware.data(), 1, firmware.size(), out);
    // A failed write shows at the close.
    if (CloseImageFile(out) != 0) return GiveUp(FILE_CLOSE_FAILURE);
    KeepConvertedFirmware(std::move(firmware));

    Log("gen.hex to gn.hex conversion done\n");
    return FinishStage();
}
