// The program's one clock. Every pause goes through SleepMs and every
// read time-out is measured with NowMs, so the emulated device can run a
// half-hour update in virtual time and tests can check pauses exactly.
#pragma once

#include <cstdint>

// Milliseconds since start-up on the selected clock.
std::uint64_t NowMs();

// Pauses the calling thread for ms milliseconds on the selected clock,
// after the pause check, if one is set.
void SleepMs(std::uint32_t ms);

// What every SleepMs does first: a pause is where a requested stop of the
// update takes effect (platform/interrupt.h sets it). Null: nothing.
void SetPauseCheck(void (*check)());

// Pauses until NowMs() reaches the given time (returns at once if passed).
void SleepUntilMs(std::uint64_t when);

// The real clock (the default): steady time since start-up, real sleeps.
void UseRealClock();

// The virtual clock: starts at 0, a sleep only moves the time forward.
void UseVirtualClock();
bool UsingVirtualClock();
