// A recorded run played back: the D2XX backend "replay" answers every call
// the program makes from a trace (sim/trace_reader.h) instead of a device,
// on the program's clock, so that a run from the field can be run again on
// a desk, offline, and shows where the program now does something else.
//
// Calls are matched against the recording in order:
//
// - FT_GetQueueStatus and FT_GetStatus are polls: how many a wait makes
//   depends on the clock, not on the program's logic. A poll is answered
//   with what the last recorded poll of its kind had seen by the same
//   moment of the recording (measured from the call before), and their
//   number is not compared; a wait whose recording holds polls must poll
//   at least once, and not go on polling once the recording had moved on.
// - Every other call is matched one to one: the same call with the same
//   arguments (bytes written, counts, time-outs, names, the latency timer),
//   answered with the recorded status and results. A trace of a format
//   before 4 holds no FT_SetLatencyTimer: its run left the chip's timer at
//   the default, and the program's settings of it are answered FT_OK
//   outside the recording.
// - Time: the program's time from one matched call to the next must be the
//   recording's, within kReplayLateMs later or kReplayEarlyMs sooner (or
//   kReplayTolerancePercent of the recorded time, when that is more). A
//   read that got fewer bytes than it asked for lasts its time-out, as it
//   did; one that got all it asked for hands its bytes over at once, and
//   the device's lateness (up to the read's time-out) is made up when the
//   program comes back: its next call is answered no sooner than the
//   recording's was. So is a write's in a recording through libftdi1,
//   whose writes return only when the chip has taken the bytes (over a
//   slow link up to the write time-out later). So a slow device stays slow
//   and a time-out stays one.
//
// The first call that the recording does not hold at that place is a
// divergence: it is answered with a failure status, the run is stopped as
// a device failure would stop it (platform/interrupt.h, RequestStop) with
// REPLAY_DIVERGED, and every later call fails, except the close that ends
// the connection. ReplayReport then says where and how.
#pragma once

#include <cstdint>
#include <string>

#include "platform/d2xx.h"
#include "sim/trace_reader.h"

namespace sim {

// How far the program's time between two calls may stray from the
// recording's. A recording made on the real clock only ever runs late:
// driver calls take time, timers overshoot, the computer is busy now and
// then; the program replayed on the virtual clock pauses exactly. So the
// program may come sooner by more than it may come later, which only a
// replay on a busy real clock does. A longer recorded time allows a share
// of it, for many pauses in a row each overshooting a little.
constexpr std::uint64_t kReplayLateMs = 100;
constexpr std::uint64_t kReplayEarlyMs = 250;
constexpr std::uint64_t kReplayTolerancePercent = 5;

// Starts replaying `trace` (named `name` in the report): from now on the
// backend answers from it, from its first call. Call with the clock chosen.
void StartReplay(RecordedTrace trace, const std::string& name);

// The replay as a D2XX backend, named "replay".
const D2xxOps* ReplayD2xx();

// The images a trace's header names, each compared with the images in the
// working folder as `imagesNow` describes them (DescribeImages of
// update/check_images.h: "gen.hex 4855 <sha256> ..."). Empty when all
// agree; otherwise a line for each that differs, naming the file.
std::string ReplayImageMismatch(const RecordedTrace& trace, const std::string& imagesNow);

// The program's run has ended: a recording that goes on past its last call
// diverges here.
void FinishReplay();

bool ReplayDiverged();

// The report of a divergence, lines for standard error: the call's number
// and line in the trace, what was recorded, what the program did, how they
// differ, and the recorded calls before it. Empty without a divergence.
std::string ReplayReport();

// The line that tells a replay ran to the end of its recording and of the
// run without divergence: "<name> replayed to its end without divergence:
// <n> calls recorded, <m> made", and how many FT_SetLatencyTimer calls
// were answered outside a recording of an earlier format.
std::string ReplaySummary();

}  // namespace sim
