// A D2XX backend that passes every call on to another backend and writes
// one line per call to a trace file, so that the traffic with the emulated
// device or a real one can be read, and replayed, afterwards. The format is
// in docs/trace-format.md:
//
//   # qvm7316-update trace <format version> <program version> [<field>...]
//   <ms> <call> <arguments> = <status> <results>
//
// The lines are gathered in a buffer and written in large pieces, and at
// least once a second of real time (the wall clock, also when the run is
// in virtual time) a thread of the trace's own hands what has gathered to
// the system, so that a process killed at any moment leaves its trace
// complete to within about a second. SyncTrace has it written to the disk;
// EndTrace writes the rest. A call from another thread than the update
// worker's (a handler closing the device) is traced in its place. A trace
// that cannot be written costs one warning on standard error and nothing
// else: the update goes on without it.
#pragma once

#include <cstdio>
#include <string>

#include "platform/d2xx.h"

// The trace format this program writes: 3 names devices by location too,
// 4 has the latency timer's setting (FT_SetLatencyTimer).
constexpr int kTraceFormatVersion = 4;

// Starts a trace into `out` (named `name` in warnings) and returns the
// wrapper around `inner`, which goes by the inner driver's name. The header
// line (with `headerFields` appended when not empty) and a comment line
// "# driver <name>" begin the trace. One trace at a time.
const D2xxOps* TraceD2xx(const D2xxOps* inner, std::FILE* out, const std::string& name = "trace",
                         const std::string& headerFields = "");

// Adds fields to the header line, as long as no call has been traced yet
// (the header is written before the first call, or at the end).
void AddTraceHeaderFields(const std::string& fields);

// Adds a comment line ("# " and the text) to the trace; one given before
// the first call stands right after the header.
void TraceComment(const std::string& text);

// Writes what is buffered to the file, so that it is complete up to the
// last call. Returns false when the trace could not be written.
bool FlushTrace();

// Writes what is buffered to the file, and has the system write the file to
// the disk: before returning (`wait`), or on the trace's own thread, so that
// a slow disk does not hold the update (the end of each stage). Nothing
// without a trace.
void SyncTrace(bool wait);

// How often, at the latest, the gathered lines are handed to the system.
constexpr unsigned kTraceHandOverMs = 1000;

// Flushes and closes the trace file (a run's end has synced it: SyncTrace).
// The wrapper then passes calls on without writing anything.
void EndTrace();
