// The stages of an update, in the order the sequence runs them. Each takes
// nothing and returns a status code: 0 for success (update/stage.h).
#pragma once

int ConnectToProcessor();
int ConvertHexFile();
int ProgramProcessor();
int ResetProcessor();
int ErasePromChip();
int ProgramProm();
int CheckCommunication();
int EraseGateArray();
int ProgramGateArray();
