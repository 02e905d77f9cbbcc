// Gate-array block requests: once a gate-array mode is selected, the device
// pulls the image "GEN.dat" by asking for positions in it, six decimal
// characters per request, and gets the 32 bytes from there as 64 upper-case
// hex characters. Both gate-array stages serve these requests with the same
// loop and differ only in their time-out and their step after each answer.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol/limits.h"

// The size of the image the running gate-array stage serves.
extern std::uint32_t MaxSize;

constexpr std::uint32_t kBlockSize = kGateArrayBlockSize;  // image bytes per answer
constexpr std::uint32_t kRequestLength = 6;                // characters per request
constexpr std::uint32_t kAnswerLength = 2 * kBlockSize;

// Takes "GEN.dat" as the stage sends it (ImageToSend), sets MaxSize to its
// size and logs "MaxSize = %u". False after the lines of a failed open.
bool TakeGateArrayImage(std::string_view& image);

enum class RequestResult { Received, ReadFailure, TimedOut };

// Reads one 6-character request into the receive buffer and converts it as
// strtol does with base 10. Fewer than 6 bytes within the read time-out set
// by the stage is a time-out; the bytes that came are dropped.
RequestResult ReceiveBlockRequest(std::int32_t& requestNumber);

// The number a request's text (six characters, zero-terminated) asks for,
// as strtol converts it with base 10: leading white space skipped, one "+"
// or "-", digits up to the first other character; 0 when there is none.
std::int32_t BlockRequestNumber(const char* text);

// A request is served only when it is a position in the image: from 1 to
// MaxSize. The block at MaxSize itself holds the image's last byte.
bool AcceptBlockRequest(std::int32_t requestNumber);

// Fills the line buffer with the 64-character answer for the 32 bytes of
// the image from `offset` on (0xFF past the end), zero-terminated.
void FormatImageBlock(std::string_view image, std::uint32_t offset);

// Writes the answer to an accepted request, the block from its position on:
// 64 characters and nothing else. Returns false on a write failure; a short
// write is not one. UsbBytesWritten then holds the count the driver reported.
bool AnswerBlockRequest(std::string_view image, std::int32_t requestNumber);

// How the request loop ended. KeptAsking: the device asked for more than
// RequestLimit() blocks, accepted or not; a device that does so is not
// working through its passes, and would hold the loop for ever.
enum class LoopEnd { ReadFailure, TimedOut, WriteFailure, KeptAsking };

// The blocks of the image: MaxSize / 32, rounded up.
std::uint32_t ImageBlockCount();
// The most requests one loop serves: three passes over the image and 100 more.
std::uint64_t RequestLimit();

// Called after each answer sent, with the request number it answered.
using AnswerStep = void (*)(std::uint32_t requestNumber, void* context);

// Serves requests until a read failure, a time-out, a write failure or one
// request more than RequestLimit(). Requests not accepted get no answer and
// no message. An answer the driver took short is remembered for the
// connection (DeviceWriteFailed) and the loop goes on. afterAnswer may be null.
LoopEnd ServeBlockRequests(std::string_view image, AnswerStep afterAnswer, void* context);

// The line for a loop that ended with KeptAsking: "the QVM7316 kept asking
// for gate-array blocks: 3101 requests for 1000 blocks".
void LogKeptAsking();

// Writes a mode byte, waits 200 ms, writes 0xC0, waits 200 ms: how both
// stages select their mode and reset the onboard processor at the end.
void SendModeCommand(unsigned modeByte);

void ResetGateArrayRequests();
