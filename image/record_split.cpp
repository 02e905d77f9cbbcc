#include "image/record_split.h"

#include "image/hex_codec.h"

namespace {

// Reads count hex bytes and writes each back in upper case, unchanged.
void CopyHexBytes(unsigned count, TextReader& in, std::string& out) {
    for (unsigned i = 0; i < count; ++i) WriteHexByte(ReadHexByte(in), out);
}

// The start character of the next record; blank lines hold no record and
// are passed over. EOF at the end of the text.
int ReadStartCharacter(TextReader& in) {
    int c;
    do c = NextChar(in);
    while (c == '\r' || c == '\n');
    return c;
}

// Consumes the rest of an input record's line: anything up to its line end,
// which may be CR LF, a lone LF, a lone CR or the end of the text.
void SkipLineEnd(TextReader& in) {
    int c;
    do c = NextChar(in);
    while (c != EOF && c != '\r' && c != '\n');
    if (c != '\r') return;
    int next = NextChar(in);
    if (next != '\n' && next != EOF) PutBack(in);
}

void WriteLineEnd(std::string& out) { out += "\r\n"; }

// Starts a record built here: the running checksum begins with its length
// and address, and the bytes read for it are added as they pass.
void BeginBuiltRecord(unsigned length, unsigned address, std::string& out) {
    g_runningChecksum = static_cast<std::uint16_t>(length);
    out += ':';
    WriteHexByte(length, out);
    g_runningChecksum =
        static_cast<std::uint16_t>((g_runningChecksum + (address & 0xFFu) + ((address >> 8) & 0xFFu)) & 0xFFu);
    WriteHexWord(address, out);
}

// The checksum that makes all bytes of a built record add up to 0.
void WriteBuiltChecksum(std::string& out) { WriteHexByte((0x100u - (g_runningChecksum & 0xFFu)) & 0xFFu, out); }

// Copies one record whose start character has been read. Returns false at
// the end-of-file record (length 0), which is not written.
bool ConvertRecord(TextReader& in, std::string& out) {
    unsigned length = ReadHexByte(in);
    if (length == 0) return false;
    unsigned address = ReadHexWord(in);
    unsigned room = kRecordBoundary - address % kRecordBoundary;

    if (length <= room) {
        // Type, data and checksum pass unchanged; only the case may change.
        out += ':';
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

std::string SplitRecords(std::string_view text) {
    TextReader in{text};
    std::string out;
    // Cut records add a few characters; upper case changes no length.
    out.reserve(text.size() + text.size() / 8);
    while (ReadStartCharacter(in) != EOF && ConvertRecord(in, out)) {
    }
    return out;
}
