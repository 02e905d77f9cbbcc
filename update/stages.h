// The stages of an update, in the order the sequence runs them. Each takes
// nothing and returns a status code: 0 for success (update/stage.h).
#pragma once

#include <cstdint>

int ConnectToProcessor();
int ConvertHexFile();
int ProgramProcessor();
int ResetProcessor();
int ErasePromChip();
int ProgramProm();
int CheckCommunication();
int EraseGateArray();
int ProgramGateArray();

// How long the processor programming's read of the loader's answer to a
// line waits (ms): 70, and the difference of the chip's latency timer
// (device/link.h) from its default of 16 ms, so that the loader never has
// less time for its status than at the default.
std::uint32_t LineReadTimeoutMs();
