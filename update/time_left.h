// The time left of a running update. The sequence and the stages say where
// the run is; the estimate is the schedule (update/schedule.h) of what is
// left, with each kind of work at the rate measured so far in this run (the
// nominal rate until it has one) and the fixed pauses and waits at the time
// they have still to run. The display shows it with the stage in words
// (DisplayOps::TimeLeft), at most once a second on the program's clock and
// whenever a stage begins; a display may count down on its own between.
//
// All of it runs on the update worker. Outside a run (a stage called on its
// own, in the tests) every call does nothing.
#pragma once

#include <cstdint>
#include <string>

struct ImagesCheck;

// A run's stages begin, with the work that the checked images give. The
// estimate starts from the whole schedule.
void BeginTimeLeft(const ImagesCheck& images);
// The run has ended: nothing more is estimated or shown.
void EndTimeLeft();

// The sequence is at the stage at `index` of the schedule, from the pause it
// takes before the stage on.
void StageBegins(int index);

// The running stage begins its work: as much as the schedule gives it for
// the images, or `units` when the stage knows better (the records of the
// converted firmware).
void BeginWork();
void BeginWork(std::uint32_t units);
// One unit of the work is done: a record echoed and read back, a page sent,
// a block request answered.
void UnitDone();
// The work has ended (all done or cut short); the stage's fixed waits after
// it follow.
void EndWork();
// A step of a long wait (the PROM's or the gate array's erase): the display
// follows the time left.
void WaitGoesOn();

// The estimate at this moment on the program's clock, in ms, and the words
// for where the run is ("Erasing the PROM"); 0 and "" outside a run.
std::uint64_t MsLeft();
const char* StageInWords();

// The time left as the technician reads it: "about 12 min left" (to the
// nearest minute), "about 40 s left" in the last minute.
std::string TimeLeftText(std::uint64_t ms);

void ResetTimeLeft();
