#include "update/gate_array_requests.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/hex_digits.h"
#include "protocol/model.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/time_left.h"

std::uint32_t MaxSize = 0;

namespace {

// Requests the running loop has received, accepted or not.
std::uint64_t g_requestsReceived = 0;

}  // namespace

bool TakeGateArrayImage(std::string_view& image) {
    const std::string* bytes = ImageToSend("GEN.dat");
    if (bytes == nullptr) return false;
    image = *bytes;
    // The image check bounds GEN.dat far below 4 GiB.
    MaxSize = static_cast<std::uint32_t>(image.size());
    Log("MaxSize = %u\n", MaxSize);
    return true;
}

RequestResult ReceiveBlockRequest(std::int32_t& requestNumber) {
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kRequestLength, &g_bytesRead) != FT_OK)
        return RequestResult::ReadFailure;
    if (g_bytesRead != kRequestLength) return RequestResult::TimedOut;
    requestNumber = BlockRequestNumber(g_receiveBuffer);
    return RequestResult::Received;
}

std::int32_t BlockRequestNumber(const char* text) {
    // Six characters hold at most six digits and a sign: always in range.
    return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
}

bool AcceptBlockRequest(std::int32_t requestNumber) {
    return requestNumber > 0 && static_cast<std::uint32_t>(requestNumber) <= MaxSize;
}

void FormatImageBlock(std::string_view image, std::uint32_t offset) {
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    for (std::uint32_t i = 0; i < kBlockSize; ++i) {
        // Past the end of the image: erased bytes.
        bool inside = offset < image.size() && i < image.size() - offset;
        unsigned byte = inside ? static_cast<unsigned char>(image[offset + i]) : 0xFFu;
        g_lineBuffer[2 * i] = NibbleToHexChar(byte >> 4);
        g_lineBuffer[2 * i + 1] = NibbleToHexChar(byte);
    }
}

bool AnswerBlockRequest(std::string_view image, std::int32_t requestNumber) {
    FormatImageBlock(image, static_cast<std::uint32_t>(requestNumber) - 1);
    return WriteToDevice(g_lineBuffer, kAnswerLength) != WriteOutcome::Failed;
}

std::uint32_t ImageBlockCount() {
    return static_cast<std::uint32_t>((std::uint64_t{MaxSize} + kBlockSize - 1) / kBlockSize);
}

std::uint64_t RequestLimit() { return 3 * std::uint64_t{ImageBlockCount()} + 100; }

namespace {

LoopEnd ServeUntilTheEnd(std::string_view image, AnswerStep afterAnswer, void* context) {
    g_requestsReceived = 0;
    for (;;) {
        std::int32_t request = 0;
        RequestResult received = ReceiveBlockRequest(request);
        if (received == RequestResult::ReadFailure) return LoopEnd::ReadFailure;
        if (received == RequestResult::TimedOut) return LoopEnd::TimedOut;
        if (++g_requestsReceived > RequestLimit()) return LoopEnd::KeptAsking;
        if (!AcceptBlockRequest(request)) continue;
        if (!AnswerBlockRequest(image, request)) return LoopEnd::WriteFailure;
        UnitDone();
        if (afterAnswer) afterAnswer(static_cast<std::uint32_t>(request), context);
    }
}

}  // namespace

// The requests are the stage's work, for the time left.
LoopEnd ServeBlockRequests(std::string_view image, AnswerStep afterAnswer, void* context) {
    BeginWork();
    LoopEnd end = ServeUntilTheEnd(image, afterAnswer, context);
    EndWork();
    return end;
}

void LogKeptAsking() {
    // The count stops one past the limit, which 32 bits always hold.
    Log("the %s kept asking for gate-array blocks: %u requests for %u blocks\n", kModelString,
        static_cast<unsigned>(g_requestsReceived), ImageBlockCount());
}

void SendModeCommand(unsigned modeByte) {
    SendCommandByte(modeByte);
    SleepMs(200);
    SendCommandByte(CMD_END);
    SleepMs(200);
}

void ResetGateArrayRequests() {
    g_requestsReceived = 0;
    MaxSize = 0;
}
