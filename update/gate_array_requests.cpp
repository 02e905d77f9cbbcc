#include "update/gate_array_requests.h"

#include <cstdlib>
#include <cstring>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "protocol/commands.h"
#include "protocol/hex_digits.h"
#include "protocol/model.h"
#include "protocol/status.h"
#include "update/check_images.h"
#include "update/stage.h"

std::uint32_t MaxSize = 0;

namespace {

// Where the image stream of the answers stands, when known (-1: not known).
// A device asks for its blocks mostly in order, and a seek costs a system
// call even when it lands inside the stream's buffer, so an answer seeks
// only when the stream is not already at the requested position.
std::FILE* g_answeredImage = nullptr;
long g_imagePosition = -1;

// Requests the running loop has received, accepted or not.
std::uint64_t g_requestsReceived = 0;

// Fills the line buffer with the answer for the 32 bytes at the file's
// position; returns how many of them came from the file.
std::size_t FormatBlock(std::FILE* file) {
    unsigned char block[kBlockSize];
    std::size_t got = std::fread(block, 1, kBlockSize, file);
    // The end of the file, or a read error, reads as erased bytes.
    std::memset(block + got, 0xFF, kBlockSize - got);
    std::memset(g_lineBuffer, 0, sizeof g_lineBuffer);
    for (std::uint32_t i = 0; i < kBlockSize; ++i) {
        g_lineBuffer[2 * i] = NibbleToHexChar(block[i] >> 4);
        g_lineBuffer[2 * i + 1] = NibbleToHexChar(block[i]);
    }
    return got;
}

}  // namespace

std::FILE* OpenGateArrayImage() {
    std::FILE* image = OpenCheckedImage("GEN.dat");
    if (image == nullptr) return nullptr;
    std::fseek(image, 0, SEEK_END);
    long end = std::ftell(image);
    std::fseek(image, 0, SEEK_SET);
    g_answeredImage = image;
    g_imagePosition = 0;
    // A file whose size cannot be taken serves nothing rather than 4 GiB.
    MaxSize = end > 0 ? static_cast<std::uint32_t>(end) : 0;
    Log("MaxSize = %u\n", MaxSize);
    return image;
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

void ReadImageBlock(std::FILE* file) {
    if (file == g_answeredImage) g_imagePosition = -1;  // moved behind the answers' back
    FormatBlock(file);
}

bool AnswerBlockRequest(std::FILE* image, std::int32_t requestNumber) {
    long offset = static_cast<long>(requestNumber) - 1;
    if (image != g_answeredImage || offset != g_imagePosition) std::fseek(image, offset, SEEK_SET);
    // After a short read the stream sits at its end: seek afresh next time.
    g_answeredImage = image;
    g_imagePosition = FormatBlock(image) == kBlockSize ? offset + kBlockSize : -1;
    return WriteToDevice(g_lineBuffer, kAnswerLength) != WriteOutcome::Failed;
}

std::uint32_t ImageBlockCount() {
    return static_cast<std::uint32_t>((std::uint64_t{MaxSize} + kBlockSize - 1) / kBlockSize);
}

std::uint64_t RequestLimit() { return 3 * std::uint64_t{ImageBlockCount()} + 100; }

LoopEnd ServeBlockRequests(std::FILE* image, AnswerStep afterAnswer, void* context) {
    g_requestsReceived = 0;
    for (;;) {
        std::int32_t request = 0;
        RequestResult received = ReceiveBlockRequest(request);
        if (received == RequestResult::ReadFailure) return LoopEnd::ReadFailure;
        if (received == RequestResult::TimedOut) return LoopEnd::TimedOut;
        if (++g_requestsReceived > RequestLimit()) return LoopEnd::KeptAsking;
        if (!AcceptBlockRequest(request)) continue;
        if (!AnswerBlockRequest(image, request)) return LoopEnd::WriteFailure;
        if (afterAnswer) afterAnswer(static_cast<std::uint32_t>(request), context);
    }
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
    g_answeredImage = nullptr;
    g_imagePosition = -1;
    g_requestsReceived = 0;
    MaxSize = 0;
}
