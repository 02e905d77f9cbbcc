// The communication check: after 0xF2 0xC0 the device sends its first reply
// at once and its second one a little later.
#include "sim/device.h"

namespace sim {

void ComCheckBegin(Device& device) {
    ++device.comChecks;
    std::uint64_t now = ReceivedAt(device);
    if (device.scenario.comcheckReply1) SendToHost(device, *device.scenario.comcheckReply1, now);
    if (device.scenario.comcheckReply2)
        SendToHost(device, *device.scenario.comcheckReply2, now + device.scenario.comcheckDelayMs);
}

}  // namespace sim
