// The gate array: block requests in erase and programming mode.
#include "sim/device.h"

namespace sim {

void GateArrayEraseBegin(Device&) {}
void GateArrayProgramBegin(Device&) {}
void GateArrayData(Device&, std::uint8_t) {}
DWORD GateArrayBytesWritten(Device&, DWORD count) { return count; }
void GateArrayEnd(Device&) {}

}  // namespace sim
