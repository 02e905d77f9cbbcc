// What every stage of the update shares: how a device stage begins, how a
// stage holds and closes a file it writes, and the one way a stage gives up.
//
// A stage is a function without arguments that returns a status code: 0
// for success, or the status of its first failure, after its own line on
// the log. A stage that fails returns through GiveUp, which leaves nothing
// open behind it.
#pragma once

#include <cstdio>

// How every device stage but the handshake begins: opens the device,
// empties its buffers and sets the chip's latency timer (a failure of that
// costs a line only). Returns 0, or USB_OPEN_FAILURE (whatever OpenDevice
// gave) or USB_PURGE_FAILURE through GiveUp.
int OpenStageConnection();

// How a stage that went well ends: flushes the log so that all of the
// stage's lines show, ticks the progress once, and returns 0.
int FinishStage();

// How a device stage that has run its whole sequence ends: closes the
// device, then as FinishClosedStage. USB_CLOSE_FAILURE, after the close's
// own line, when the close fails.
int FinishDeviceStage(int unconfirmed = 0);

// How a device stage ends once its connection is closed: a stage whose
// device missed bytes has not done its work, so when a write of that
// connection failed or came up short (each has logged its line), it gives
// up with USB_WRITE_FAILURE; otherwise with `unconfirmed` when that is not
// 0 (what the device should have confirmed it did not, after the stage's
// own line), and as FinishStage when all went well.
int FinishClosedStage(int unconfirmed = 0);

// Makes a file the running stage has opened one that it holds, until
// CloseImageFile or GiveUp closes it. Returns the file (null stays null).
std::FILE* AdoptImageFile(std::FILE* file);

// Closes a file the stage opened. Returns 0, or FILE_CLOSE_FAILURE after the
// line "error closing file" when the close or an earlier write failed.
int CloseImageFile(std::FILE* file);

// Ends a stage that has failed: closes every image file the stage still
// holds and the device connection if it is still open, ignoring their
// results (a connection whose close has failed is not closed again), and
// returns status.
int GiveUp(int status);

// Closes what a stage left open; for the tests, between runs.
void ResetStageFiles();
