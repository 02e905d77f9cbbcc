// The onboard processor's serial loader (after 0xE0).
#include "sim/device.h"

namespace sim {

void LoaderBegin(Device& device) {
    device.loader.record.clear();
    device.loader.recordsReceived = 0;
    device.loader.silent = false;
}

void LoaderData(Device&, std::uint8_t) {}

void LoaderEnd(Device& device) { device.loader.record.clear(); }

}  // namespace sim
