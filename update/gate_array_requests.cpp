#include "update/gate_array_requests.h"

#include <cstdlib>
#include <cstring>

#include "device/commands.h"
#include "device/link.h"
#include "device/status.h"
#include "image/hex_codec.h"
#include "platform/clock.h"

std::FILE* g_gateArrayImage = nullptr;
std::uint32_t MaxSize = 0;

namespace {

// Where the image stream stands, when known (-1: not known). A device asks
// for its blocks mostly in order, and a seek costs a system call even when
// it lands inside the stream's buffer, so an answer seeks only when the
// stream is not already at the requested position.
long g_imagePosition = -1;

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

int OpenGateArrayImage() {
    g_gateArrayImage = std::fopen("GEN.dat", "rb");
    if (g_gateArrayImage == nullptr) {
        std::printf("failed to open GEN.dat\n");
        return GEN_DAT_OPEN_FAILURE;
    }
    std::fseek(g_gateArrayImage, 0, SEEK_END);
    long end = std::ftell(g_gateArrayImage);
    std::fseek(g_gateArrayImage, 0, SEEK_SET);
    g_imagePosition = 0;
    // A file whose size cannot be taken serves nothing rather than 4 GiB.
    MaxSize = end > 0 ? static_cast<std::uint32_t>(end) : 0;
    std::printf("MaxSize = %u\n", MaxSize);
    return 0;
}

int CloseGateArrayImage() {
    std::FILE* file = g_gateArrayImage;
    g_gateArrayImage = nullptr;  // closed or not, the stream is gone
    g_imagePosition = -1;
    return file ? CloseImageFile(file) : 0;
}

int AbandonGateArrayStage(int status) {
    CloseGateArrayImage();
    CloseDevice();
    return status;
}

RequestResult ReceiveBlockRequest(std::int32_t& requestNumber) {
    std::memset(g_receiveBuffer, 0, sizeof g_receiveBuffer);
    if (FT_Read(g_deviceHandle, g_receiveBuffer, kRequestLength, &g_bytesRead) != FT_OK)
        return RequestResult::ReadFailure;
    if (g_bytesRead != kRequestLength) return RequestResult::TimedOut;
    // Six characters hold at most six digits and a sign: always in range.
    requestNumber = static_cast<std::int32_t>(std::strtol(g_receiveBuffer, nullptr, 10));
    return RequestResult::Received;
}

bool AcceptBlockRequest(std::int32_t requestNumber) {
    return requestNumber != 0 && static_cast<std::uint32_t>(requestNumber) < MaxSize;
}

void ReadImageBlock(std::FILE* file) {
    if (file == g_gateArrayImage) g_imagePosition = -1;  // moved behind the answers' back
    FormatBlock(file);
}

bool AnswerBlockRequest(std::int32_t requestNumber) {
    long offset = static_cast<long>(requestNumber) - 1;
    if (offset != g_imagePosition) std::fseek(g_gateArrayImage, offset, SEEK_SET);
    // After a short read the stream sits at its end: seek afresh next time.
    g_imagePosition = FormatBlock(g_gateArrayImage) == kBlockSize ? offset + kBlockSize : -1;
    return FT_Write(g_deviceHandle, g_lineBuffer, kAnswerLength, &UsbBytesWritten) == FT_OK;
}

LoopEnd ServeBlockRequests(AnswerStep afterAnswer, void* context) {
    for (;;) {
        std::int32_t request = 0;
        RequestResult received = ReceiveBlockRequest(request);
        if (received == RequestResult::ReadFailure) return LoopEnd::ReadFailure;
        if (received == RequestResult::TimedOut) return LoopEnd::TimedOut;
        if (!AcceptBlockRequest(request)) continue;
        if (!AnswerBlockRequest(request)) return LoopEnd::WriteFailure;
        if (afterAnswer) afterAnswer(static_cast<std::uint32_t>(request), context);
    }
}

void SendModeCommand(unsigned modeByte) {
    SendCommandByte(modeByte);
    SleepMs(200);
    SendCommandByte(CMD_END);
    SleepMs(200);
}

void ResetGateArrayRequests() {
    if (g_gateArrayImage) std::fclose(g_gateArrayImage);
    g_gateArrayImage = nullptr;
    g_imagePosition = -1;
    MaxSize = 0;
}
