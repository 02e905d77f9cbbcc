// The update worker and the fixed sequence of stages.
#pragma once

#include <cstdint>

struct Stage {
    std::uint32_t pauseBeforeMs;
    int (*run)();
    const char* name;
};

// The sequence, in order, with the pause taken before each stage.
extern const Stage kStages[];
extern const int kStageCount;

// Runs the stages in order and stops at the first failure.
// Returns 0 when all succeeded, -1 when one failed.
int RunUpdate();

// The status code of the stage that failed in the last run (0 if none).
int LastFailedStatus();

// The worker's body: tells the display that a run starts, runs the update,
// and tells the display how it ended. Returns RunUpdate's result.
int UpdateWorker();
