// A D2XX backend that passes every call on to another backend and writes
// one line per call to a trace file, so that the traffic with the emulated
// device or a real one can be read afterwards:
//
//   <ms> <call> <arguments> = <status> <results>
//
// <ms> is NowMs() when the call was made, <status> the returned FT_STATUS in
// decimal, byte data upper-case hexadecimal pairs without blanks or "-".
#pragma once

#include <cstdio>

#include "platform/d2xx.h"

// Wraps `inner`; lines go to `out`, flushed after each call. One trace at a
// time: a second call replaces the first wrapper's target.
const D2xxOps* TraceD2xx(const D2xxOps* inner, std::FILE* out);
