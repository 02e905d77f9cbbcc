// Status codes: 0 for success, failures from 23 to 39. Every connection
// operation and every stage returns one after printing its own line.
#pragma once

enum StatusCode : int {
    STATUS_OK = 0,
    // A replay that left its recording (sim/replay.h): its own code, below
    // every stage's, so that it is never taken for the failure it replays.
    REPLAY_DIVERGED = 3,
    USB_LIST_FAILURE = 23,
    USB_PURGE_FAILURE = 24,
    USB_TIMEOUT_FAILURE = 25,
    USB_READ_FAILURE = 26,
    USB_WRITE_FAILURE = 27,
    USB_OPEN_FAILURE = 28,
    USB_CLOSE_FAILURE = 29,
    BAD_HANDSHAKE = 30,
    GEN_DAT_OPEN_FAILURE = 31,
    GEN_HEX_OPEN_FAILURE = 32,
    GN_HEX_OPEN_FAILURE = 33,
    PROM_HEX_OPEN_FAILURE = 34,
    FILE_CLOSE_FAILURE = 35,
    DEVICE_NOT_FOUND = 36,
    DEVICE_OPEN_FAILURE = 37,
    USB_TIMED_OUT = 38,
    COM_CHECK_FAILURE = 39,
    // A run stopped from outside: Ctrl+C twice, or SIGTERM and the like.
    INTERRUPTED = 130,
    TERMINATED = 143,
};

// The name of a status code ("USB_OPEN_FAILURE"), "OK" for 0, "?" otherwise.
const char* StatusName(int status);
