// All process-wide state of the updater, back to how it is at program start.
// For the tests, which run many updates in one process.
#pragma once

void ResetProcessState();
