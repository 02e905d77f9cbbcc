// Keeping the machine awake while an update runs, and only then: a laptop
// that goes to sleep, or a system that shuts down, in the middle of the
// half-hour update leaves the device half-programmed.
//
// Windows: the update's thread asks for the system to stay in its working
// state (SetThreadExecutionState with ES_SYSTEM_REQUIRED). That stops idle
// sleep; it does not stop sleep by the lid or the power button. The session's
// end (log-off, shut-down, a restart for updates) is refused by the
// program's window while a run is in progress (app/).
//
// Linux: the program asks logind for an inhibitor lock on sleep, shut-down,
// idle and the lid switch, in "block" mode, through sd-bus; libsystemd is
// loaded at run time, so the program runs without it. logind may be absent,
// or may refuse the lock (polkit refuses block locks to inactive sessions,
// such as one over SSH, unless the user is root): the run then goes on, and
// the line says the machine is not kept awake.
#pragma once

#include <string>

// What KeepMachineAwake achieved, as the run log file and standard error
// say it.
struct AwakeState {
    bool kept = false;
    std::string line;  // "the machine is kept awake during the update: ..."
};

// Asks the system to keep the machine awake until LetMachineSleep, on the
// thread that runs the update (which must be the one that lets it sleep).
AwakeState KeepMachineAwake();

// Lets the machine sleep again (releases the lock); nothing if it was not
// kept awake.
void LetMachineSleep();
