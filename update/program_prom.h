// The PROM programming stage's one setting: how many pages "genprom.hex"
// may hold. ProgramProm itself is declared in update/stages.h.
#pragma once

#include <cstdint>

#include "protocol/limits.h"

// The page limit in force, kPromPageCount unless a test lowered it (to
// check an oversized image without writing a 33 MiB file). A line read for
// this page number is not sent: the image is larger than the PROM.
extern std::uint32_t g_promPageLimit;

void ResetProgramProm();
