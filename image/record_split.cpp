#include "image/record_split.h"

#include <cstdio>

#include "image/hex_codec.h"

namespace {

// Reads count hex bytes and writes each back in upper case, unchanged.
void CopyHexBytes(unsigned count, std::FILE* in, std::FILE* out) {
    for (unsigned i = 0; i < count; ++i) WriteHexByte(ReadHexByte(in), out);
}

// The start character of the next record; blank lines hold no record and
// are passed over. EOF at the end of the file.
int ReadStartCharacter(std::FILE* in) {
    int c;
    do c = std::getc(in);
    while (c == '\r' || c == '\n');
    return c;
}

// Consumes the rest of an input record's line: anything up to its line end,
// which may be CR LF, a lone LF, a lone CR or the end of the file.
void SkipLineEnd(std::FILE* in) {
    int c;
    do c = std::getc(in);
    while (c != EOF && c != '\r' && c != '\n');
    if (c != '\r') return;
    int next = std::getc(in);
    if (next != '\n' && next != EOF) std::ungetc(next, in);
}

void WriteLineEnd(std::FILE* out) {
    std::putc('\r', out);
    std::putc('\n', out);
}

// Starts a record built here: the running checksum begins with its length
// and address, and the bytes read for it are added as they pass.
void BeginBuiltRecord(unsigned length, unsigned address, std::FILE* out) {
    g_runningChecksum = static_cast<std::uint16_t>(length);
    std::putc(':', out);
    WriteHexByte(length, out);
    g_runningChecksum =
        static_cast<std::uint16_t>((g_runningChecksum + (address & 0xFFu) + ((address >> 8) & 0xFFu)) & 0xFFu);
    WriteHexWord(address, out);
}

// The checksum that makes all bytes of a built record add up to 0.
void WriteBuiltChecksum(std::FILE* out) { WriteHexByte((0x100u - (g_runningChecksum & 0xFFu)) & 0xFFu, out); }

// Copies one record whose start character has been read. Returns false at
// the end-of-file record (length 0), which is not written.
bool ConvertRecord(std::FILE* in, std::FILE* out) {
    unsigned length = ReadHexByte(in);
    if (length == 0) return false;
    unsigned address = ReadHexWord(in);
    unsigned room = kRecordBoundary - address % kRecordBoundary;

    if (length <= room) {
        // Type, data and checksum pass unchanged; only the case may change.
        std::putc(':', out);
        WriteHexByte(length, out);
        WriteHexWord(address, out);
        CopyHexBytes(length + 2, in, out);
    } else {
        // Up to the boundary: the input's address and type.
        BeginBuiltRecord(room, address, out);
        CopyHexBytes(room + 1, in, out);
        WriteBuiltChecksum(out);
        WriteLineEnd(out);
        // From the boundary on: type 00 and the rest of the data.
        BeginBuiltRecord(length - room, (address + room) & 0xFFFFu, out);
        WriteHexByte(0x00, out);
        CopyHexBytes(length - room, in, out);
        WriteBuiltChecksum(out);
        ReadHexByte(in);  // the input's checksum fits neither half
    }
    SkipLineEnd(in);
    WriteLineEnd(out);
    return true;
}

}  // namespace

void SplitRecords(std::FILE* in, std::FILE* out) {
    while (ReadStartCharacter(in) != EOF && ConvertRecord(in, out)) {
    }
}
