// The PROM: a serial flash reached through instruction groups.
#include "sim/device.h"

namespace sim {

void PromGroupOpen(Device& device) {
    device.prom.groupOpen = true;
    device.prom.groupText.clear();
}

void PromGroupData(Device& device, std::uint8_t byte) { device.prom.groupText += static_cast<char>(byte); }

void PromGroupClose(Device& device) {
    device.prom.groupOpen = false;
    device.prom.groupText.clear();
}

}  // namespace sim
