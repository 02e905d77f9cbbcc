// The stages of an update, in the order the sequence runs them. Each takes
// nothing and returns a status code: 0 for success.
#pragma once

int ConnectToProcessor();   // device/link.h
int ConvertHexFile();       // image/record_split.h
int ProgramProcessor();
int ResetProcessor();
int ErasePromChip();
int ProgramProm();
int CheckCommunication();
int EraseGateArray();
int ProgramGateArray();
