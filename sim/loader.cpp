// The onboard processor's serial loader (after 0xE0).
//
// It takes Intel HEX records as they come, without line ends: a record
// starts with ":" and its length field says where it ends; a character
// outside a record is echoed at once and otherwise ignored. When a record is complete the loader echoes it and sends a
// status character and CR LF: "." when the record parsed and its checksum is
// right, "X" otherwise. Only records answered "." take effect.
//
// Data records go into the 64 KiB program memory at the address the last
// extended address record sets: an extended segment address record (02)
// adds segment * 16 to a 16-bit offset that wraps within the segment, as
// does the start state; an extended linear address record (04) adds
// upper * 65536 to the record's address plus the byte's index, without wrap.
// Bytes that land at 0x10000 or above are dropped and counted. A type 03
// record whose data starts with 06 sets the boot status byte (the BSB record).
#include <algorithm>
#include <vector>

#include "sim/device.h"
#include "sim/hex_text.h"

namespace sim {
namespace {

constexpr char kAccepted = '.';
constexpr char kChecksumError = 'X';
constexpr std::size_t kMemorySize = 0x10000;

enum RecordType : std::uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kStartSegmentAddress = 0x03,
    kExtendedLinearAddress = 0x04,
};

// The byte written as two hex digits at text[pos]; false if they are not.
bool HexByteAt(const std::string& text, std::size_t pos, unsigned& value) {
    if (pos + 1 >= text.size()) return false;
    int high = HexDigitValue(text[pos]), low = HexDigitValue(text[pos + 1]);
    if (high < 0 || low < 0) return false;
    value = static_cast<unsigned>(high * 16 + low);
    return true;
}

// The record's bytes (length, address, type, data, checksum) from its text.
bool DecodeRecord(const std::string& text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    if (text.size() < 11 || text.size() % 2 == 0) return false;
    for (std::size_t pos = 1; pos < text.size(); pos += 2) {
        unsigned value = 0;
        if (!HexByteAt(text, pos, value)) return false;
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes.size() == bytes[0] + 5u;
}

bool ChecksumRight(const std::vector<std::uint8_t>& bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    return sum % 256 == 0;
}

void StoreData(LoaderState& loader, std::uint32_t offset, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t at = loader.linearAddressing ? loader.addressBase + offset + static_cast<std::uint32_t>(i)
                                                   : loader.addressBase + ((offset + i) & 0xFFFFu);
        if (at < kMemorySize)
            loader.memory[at] = data[i];
        else
            ++loader.bytesOutside;
    }
}

// Carries out an accepted record.
void Apply(LoaderState& loader, const std::vector<std::uint8_t>& bytes) {
    std::size_t length = bytes[0];
    std::uint32_t offset = static_cast<std::uint32_t>(bytes[1]) << 8 | bytes[2];
    const std::uint8_t* data = bytes.data() + 4;
    std::uint32_t upper = length >= 2 ? static_cast<std::uint32_t>(data[0]) << 8 | data[1] : 0;
    switch (bytes[3]) {
        case kData:
            StoreData(loader, offset, data, length);
            break;
        case kExtendedSegmentAddress:
            loader.addressBase = upper * 16;
            loader.linearAddressing = false;
            break;
        case kExtendedLinearAddress:
            loader.addressBase = upper << 16;
            loader.linearAddressing = true;
            break;
        case kStartSegmentAddress:
            if (length == 3 && data[0] == 0x06) ++loader.bsbRecords;
            break;
        default:
            break;  // end of file, start linear address: nothing to keep
    }
}

// Answers a complete record and carries it out if it is accepted.
void FinishRecord(Device& device) {
    LoaderState& loader = device.loader;
    const Scenario& scenario = device.scenario;
    std::string text;
    text.swap(loader.record);
    std::uint32_t number = ++loader.recordsReceived;
    if (scenario.echoSilentFrom && number >= *scenario.echoSilentFrom) loader.silent = true;
    if (loader.silent) return;  // a loader that has stopped: no answer, nothing kept

    if (scenario.echoShort > 0) {
        // A loader that lost bytes on the way: it echoes fewer than were
        // sent and still waits for the rest of the record.
        std::size_t echoed = text.size() - std::min<std::size_t>(scenario.echoShort, text.size());
        SendToHost(device, text.substr(0, echoed), ReceivedAt(device) + scenario.echoDelayMs);
        return;
    }

    std::vector<std::uint8_t> bytes;
    bool parsed = DecodeRecord(text, bytes);
    char status = parsed && ChecksumRight(bytes) ? kAccepted : kChecksumError;
    if (auto it = scenario.echoStatus.find(number); it != scenario.echoStatus.end()) status = it->second;
    SendToHost(device, text + status + "\r\n", ReceivedAt(device) + scenario.echoDelayMs);
    if (!parsed || status != kAccepted) {
        ++loader.recordsRejected;
        return;
    }
    Apply(loader, bytes);
}

}  // namespace

void LoaderBegin(Device& device) {
    device.loader.record.clear();
    device.loader.recordsReceived = 0;
    device.loader.silent = false;
    device.loader.addressBase = 0;
    device.loader.linearAddressing = false;
}

void LoaderData(Device& device, std::uint8_t byte) {
    std::string& record = device.loader.record;
    if (record.empty() && byte != ':') {
        if (!device.loader.silent) SendToHost(device, std::string(1, static_cast<char>(byte)), ReceivedAt(device));
        return;
    }
    record.push_back(static_cast<char>(byte));
    if (record.size() < 3) return;
    // Once the length is in, the record is 11 + 2 * length characters long.
    // A length that is not hex ends the record here; it is answered as bad.
    unsigned length = 0;
    if (!HexByteAt(record, 1, length) || record.size() >= 11 + 2 * length) FinishRecord(device);
}

void LoaderEnd(Device& device) { device.loader.record.clear(); }

}  // namespace sim
