#include "sim/trace_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(QVM7316_HAVE_ZLIB)
#include <zlib.h>
#endif

#include "platform/d2xx_trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sim/hex_text.h"

namespace sim {
namespace {

constexpr char kHeaderStart[] = "# qvm7316-update trace ";
constexpr std::uint64_t kDwordMax = 0xFFFFFFFFu;
// Later than any clock reading of a run (about 31,000 years), so that sums
// of times never overflow.
constexpr std::uint64_t kMsMax = 1000000000000000ull;
constexpr std::size_t kTextMax = FT_DESCRIPTION_SIZE;
constexpr std::size_t kSha256Digits = 64;

const char* const kImageNames[] = {"gen.hex", "genprom.hex", "GEN.dat"};

// One line being read, from left to right. A step that fails says what it
// expected; the first failure is the line's error.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return at_ == text_.size(); }
    const char* expected() const { return expected_; }
    std::string_view Rest() const { return text_.substr(at_); }
    std::size_t Column() const { return at_ + 1; }

    bool Fail(const char* what) {
        if (!expected_) expected_ = what;
        return false;
    }

    bool Literal(std::string_view word, const char* what) {
        if (text_.substr(at_, word.size()) != word) return Fail(what);
        at_ += word.size();
        return true;
    }
    bool Blank() { return Literal(" ", "a blank"); }

    // Moves past `word` when it stands here; nothing otherwise.
    bool Try(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }

    bool Number(std::uint64_t& value, std::uint64_t max, const char* what) {
        std::size_t start = at_;
        value = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
            std::uint64_t digit = static_cast<std::uint64_t>(text_[at_] - '0');
            if (value > (max - digit) / 10) {
                at_ = start;
                return Fail(what);
            }
            value = value * 10 + digit;
            ++at_;
        }
        if (at_ == start) return Fail(what);
        return true;
    }
    bool Dword(DWORD& value, const char* what) {
        std::uint64_t v = 0;
        if (!Number(v, kDwordMax, what)) return false;
        value = static_cast<DWORD>(v);
        return true;
    }

    // "0x" and eight hexadecimal digits: the flags of an unusual listing.
    // "0x" and eight hexadecimal digits: flags, or a location.
    bool Hex32(DWORD& value, const char* what) {
        if (!Literal("0x", what)) return false;
        value = 0;
        for (int i = 0; i < 8; ++i) {
            int digit = at_ < text_.size() ? HexDigitValue(text_[at_]) : -1;
            if (digit < 0) return Fail(what);
            value = value << 4 | static_cast<DWORD>(digit);
            ++at_;
        }
        return true;
    }

    // Byte data: hexadecimal pairs up to the next blank or the end, or "-".
    bool Bytes(std::string& out) {
        out.clear();
        if (text_.substr(at_, 1) == "-") {
            ++at_;
            return true;
        }
        std::size_t start = at_;
        while (at_ + 1 < text_.size() && HexDigitValue(text_[at_]) >= 0 && HexDigitValue(text_[at_ + 1]) >= 0) {
            out += static_cast<char>(HexDigitValue(text_[at_]) << 4 | HexDigitValue(text_[at_ + 1]));
            at_ += 2;
        }
        if (at_ == start || (at_ < text_.size() && text_[at_] != ' ')) {
            at_ = start;
            return Fail("bytes as hexadecimal pairs, or -");
        }
        return true;
    }

    // A text in double quotes with \" \\ and \xHH, at most 64 characters.
    bool Quoted(std::string& out) {
        out.clear();
        if (!Literal("\"", "a text in double quotes")) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\') {
                if (at_ < text_.size() && (text_[at_] == '"' || text_[at_] == '\\')) {
                    c = text_[at_++];
                } else if (at_ + 2 < text_.size() && text_[at_] == 'x' && HexDigitValue(text_[at_ + 1]) >= 0 &&
                           HexDigitValue(text_[at_ + 2]) >= 0) {
                    c = static_cast<char>(HexDigitValue(text_[at_ + 1]) << 4 | HexDigitValue(text_[at_ + 2]));
                    at_ += 3;
                } else {
                    return Fail("an escape \\\", \\\\ or \\xHH");
                }
            }
            if (out.size() == kTextMax) return Fail("a text of at most 64 characters");
            out += c;
        }
        return Literal("\"", "the closing double quote");
    }

    bool Status(FT_STATUS& status) {
        DWORD value = 0;
        if (!Literal(" = ", "\" = \" and the status")) return false;
        if (!Dword(value, "the status, a decimal number")) return false;
        status = value;
        return true;
    }

    bool End() { return AtEnd() || Fail("the end of the line"); }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
    const char* expected_ = nullptr;
};

constexpr char kLocationForm[] = "a location as 0x and eight hexadecimal digits";

// The arguments and results of one call, after "<ms> <call>".
bool ReadCall(LineReader& in, RecordedCall& c) {
    switch (c.call) {
        case D2xxCall::ListDevices:
            if (!in.Blank()) return false;
            if (in.Try("count")) {
                c.listing = Listing::Count;
                return in.Status(c.status) && in.Blank() && in.Dword(c.results[0], "the number of devices");
            }
            if (in.Try("index ")) {
                c.listing = Listing::ByIndex;
                if (!in.Dword(c.argument, "the index")) return false;
                if (in.Try(" location")) {
                    c.naming = Naming::Location;
                    return in.Status(c.status) && in.Blank() && (in.Try("-") || in.Hex32(c.results[0], kLocationForm));
                }
                // Version 1 wrote no naming: always by description.
                c.naming = in.Try(" serial") ? Naming::Serial : Naming::Description;
                if (c.naming == Naming::Description) in.Try(" description");
                return in.Status(c.status) && in.Blank() && in.Quoted(c.got);
            }
            c.listing = Listing::OtherFlags;
            return in.Hex32(c.argument, "flags as 0x and eight hexadecimal digits") && in.Status(c.status);
        case D2xxCall::OpenEx:
            if (!in.Blank()) return false;
            if (in.Try("flags ")) return in.Dword(c.argument, "the flags") && in.Status(c.status);
            if (in.Try("location ")) {
                c.naming = Naming::Location;
                return in.Hex32(c.argument, kLocationForm) && in.Status(c.status);
            }
            // Version 1 wrote no naming: always by description.
            c.naming = in.Try("serial ") ? Naming::Serial : Naming::Description;
            if (c.naming == Naming::Description) in.Try("description ");
            return in.Quoted(c.sent) && in.Status(c.status);
        case D2xxCall::Close:
            return in.Status(c.status);
        case D2xxCall::Read:
            return in.Blank() && in.Dword(c.argument, "the count asked") && in.Status(c.status) && in.Blank() &&
                   in.Bytes(c.got);
        case D2xxCall::Write:
            return in.Blank() && in.Bytes(c.sent) && in.Status(c.status) && in.Blank() &&
                   in.Dword(c.results[0], "the count written");
        case D2xxCall::Purge:
            return in.Blank() && in.Dword(c.argument, "the mask") && in.Status(c.status);
        case D2xxCall::SetTimeouts:
            return in.Blank() && in.Dword(c.argument, "the read time-out") && in.Blank() &&
                   in.Dword(c.writeTimeout, "the write time-out") && in.Status(c.status);
        case D2xxCall::GetQueueStatus:
            return in.Status(c.status) && in.Blank() && in.Dword(c.results[0], "the bytes received");
        case D2xxCall::GetStatus:
            return in.Status(c.status) && in.Blank() && in.Dword(c.results[0], "the bytes received") && in.Blank() &&
                   in.Dword(c.results[1], "the bytes to send") && in.Blank() &&
                   in.Dword(c.results[2], "the event status");
        case D2xxCall::SetLatencyTimer: {
            std::uint64_t ms = 0;
            if (!in.Blank() || !in.Number(ms, kLatencyTimerMaxMs, "the latency timer, 0 to 255 ms")) return false;
            c.argument = static_cast<DWORD>(ms);
            return in.Status(c.status);
        }
    }
    return false;
}

bool ParseCallLine(std::string_view text, std::size_t line, RecordedCall& c, std::string& error) {
    LineReader in(text);
    c.line = line;
    std::uint64_t ms = 0;
    bool ok = in.Number(ms, kMsMax, "the time in ms") && in.Blank();
    std::string_view rest = in.Rest();
    std::string name(rest.substr(0, rest.find(' ')));
    if (ok && !D2xxCallByName(name.c_str(), c.call)) {
        error = "unknown call " + QuoteForMessage(name);
        return false;
    }
    if (ok) {
        in.Literal(name, "the call");
        ok = ReadCall(in, c) && in.End();
    }
    c.ms = ms;
    if (ok && c.call == D2xxCall::Read && c.got.size() > c.argument) {
        error = "FT_Read got " + std::to_string(c.got.size()) + " bytes, more than the " + std::to_string(c.argument) +
                " it asked for";
        return false;
    }
    if (ok) return true;
    error = "column " + std::to_string(in.Column()) + ": expected " + (in.expected() ? in.expected() : "a call") +
            ", found " + (in.AtEnd() ? std::string("the end of the line") : QuoteForMessage(in.Rest()));
    return false;
}

// "# qvm7316-update trace <version> <program version> [<field> ...]", the
// images among the fields.
bool ParseHeader(std::string_view text, RecordedTrace& out, std::string& error) {
    LineReader in(text.substr(std::strlen(kHeaderStart)));
    std::uint64_t version = 0;
    if (!in.Number(version, 1000000, "") || version == 0 || !in.Blank() || in.AtEnd() || in.Rest()[0] == ' ') {
        error = "a header without a format version and the program's version";
        return false;
    }
    std::string_view rest = in.Rest();
    std::size_t blank = std::min(rest.find(' '), rest.size());
    std::string programVersion(rest.substr(0, blank));
    if (version > static_cast<std::uint64_t>(kTraceFormatVersion)) {
        error = "written in trace format " + std::to_string(version) + " by qvm7316-update " +
                QuoteForMessage(programVersion) + "; this program reads formats 1 to " +
                std::to_string(kTraceFormatVersion);
        return false;
    }
    out.formatVersion = static_cast<int>(version);
    out.programVersion = programVersion;
    // Later versions may add fields; only the images' and the latency
    // timer's are read.
    std::string fields(rest.substr(blank));
    out.latencyMs = version < 4 ? kChipDefaultLatencyMs : ReadLatencyField(fields);
    return ReadImageFields(fields, out.images, error);
}

bool IsGzip(const std::string& bytes) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
           static_cast<unsigned char>(bytes[1]) == 0x8B;
}

// The text of a gzip file (one member or several after one another).
bool Gunzip(const std::string& bytes, std::string& text, std::string& error) {
#if defined(QVM7316_HAVE_ZLIB)
    text.clear();
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        error = "cannot unpack it: zlib could not start";
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    std::size_t inputLeft = bytes.size();
    std::vector<char> piece(1 << 16);
    int result = Z_OK;
    for (;;) {
        // zlib counts in 32-bit pieces.
        uInt feed = static_cast<uInt>(std::min<std::size_t>(inputLeft, 1u << 30));
        stream.avail_in = feed;
        stream.next_out = reinterpret_cast<Bytef*>(piece.data());
        stream.avail_out = static_cast<uInt>(piece.size());
        result = inflate(&stream, Z_NO_FLUSH);
        inputLeft -= feed - stream.avail_in;
        text.append(piece.data(), piece.size() - stream.avail_out);
        if (text.size() > kTraceSizeLimit) {
            inflateEnd(&stream);
            error = "larger than 1 GiB once unpacked";
            return false;
        }
        if (result == Z_STREAM_END) {
            if (inputLeft == 0) break;
            inflateReset(&stream);  // another member follows
            continue;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) break;
        if (result == Z_BUF_ERROR && inputLeft == 0 && stream.avail_out != 0) break;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        error = "not a whole gzip file: it cannot be unpacked";
        return false;
    }
    return true;
#else
    (void)bytes;
    (void)text;
    error = "compressed with gzip, which this build cannot read: unpack it first (gunzip)";
    return false;
#endif
}

std::string HexOf(const std::string& bytes, std::size_t maxBytes) {
    if (bytes.empty()) return "-";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    std::size_t shown = std::min(bytes.size(), maxBytes);
    for (std::size_t i = 0; i < shown; ++i) {
        hex += kDigits[static_cast<unsigned char>(bytes[i]) >> 4];
        hex += kDigits[static_cast<unsigned char>(bytes[i]) & 15];
    }
    if (shown < bytes.size()) hex += "...(" + std::to_string(bytes.size()) + " bytes)";
    return hex;
}

std::string QuotedText(const std::string& text) {
    std::string quoted = "\"";
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += ch;
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            quoted += escaped;
        } else {
            quoted += ch;
        }
    }
    return quoted + "\"";
}

const char* NamingWord(Naming naming) {
    return naming == Naming::Serial ? "serial" : naming == Naming::Location ? "location" : "description";
}

std::string LocationText(DWORD location) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(location));
    return text;
}

// The header's fields, as the blanks between them part them.
std::vector<std::string> HeaderFields(const std::string& text) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t blank = std::min(text.find(' ', at), text.size());
        if (blank > at) fields.push_back(text.substr(at, blank - at));
        at = blank + 1;
    }
    return fields;
}

}  // namespace

bool IsPolling(D2xxCall call) { return call == D2xxCall::GetQueueStatus || call == D2xxCall::GetStatus; }

bool ReadImageFields(const std::string& text, std::vector<RecordedImage>& images, std::string& error) {
    images.clear();
    std::vector<std::string> fields = HeaderFields(text);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        bool image = false;
        for (const char* name : kImageNames) image = image || fields[i] == name;
        if (!image) continue;  // a field of a later version
        RecordedImage described{fields[i], "-", ""};
        if (i + 1 < fields.size() && fields[i + 1] == "-") {
            ++i;
        } else {
            bool sizeOk = i + 1 < fields.size() && !fields[i + 1].empty() && fields[i + 1].size() <= 15 &&
                          fields[i + 1].find_first_not_of("0123456789") == std::string::npos;
            bool digestOk = i + 2 < fields.size() && fields[i + 2].size() == kSha256Digits &&
                            fields[i + 2].find_first_not_of("0123456789abcdef") == std::string::npos;
            if (!sizeOk || !digestOk) {
                error = "the header names " + fields[i] + " without its size and SHA-256";
                return false;
            }
            described.size = fields[i + 1];
            described.sha256 = fields[i + 2];
            i += 2;
        }
        images.push_back(described);
    }
    return true;
}

unsigned ReadLatencyField(const std::string& text) {
    std::vector<std::string> fields = HeaderFields(text);
    auto field = std::find(fields.begin(), fields.end(), "latency");
    if (field == fields.end() || ++field == fields.end()) return 0;
    LineReader in(*field);
    std::uint64_t ms = 0;
    bool whole = in.Number(ms, kLatencyTimerMaxMs, "") && in.AtEnd();
    return whole && ms >= kLatencyTimerMinMs ? static_cast<unsigned>(ms) : 0;
}

bool ReadTraceBytes(const std::string& bytes, const std::string& name, RecordedTrace& out, std::string& error) {
    out = RecordedTrace{};
    // A trace without a header line comes from before the latency timer was set.
    out.latencyMs = kChipDefaultLatencyMs;
    std::string unpacked;
    if (IsGzip(bytes)) {
        if (!Gunzip(bytes, unpacked, error)) {
            error = name + ": " + error;
            return false;
        }
    }
    const std::string& text = IsGzip(bytes) ? unpacked : bytes;

    std::size_t lineNumber = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // written on Windows
        if (line.empty()) continue;
        std::string lineError;
        if (line[0] == '#') {
            if (lineNumber == 1 && line.starts_with(kHeaderStart) && !ParseHeader(line, out, lineError)) {
                error = name + ":1: " + lineError;
                return false;
            }
            // The driver the recorded program talked to, in the comment
            // line after the header.
            constexpr std::string_view kDriver = "# driver ";
            if (out.calls.empty() && line.starts_with(kDriver)) out.driver = std::string(line.substr(kDriver.size()));
            continue;  // a comment: the header, or one a later version adds
        }
        RecordedCall call;
        if (!ParseCallLine(line, lineNumber, call, lineError)) {
            error = name + ":" + std::to_string(lineNumber) + ": " + lineError;
            return false;
        }
        if (!out.calls.empty() && call.ms < out.calls.back().ms) {
            error = name + ":" + std::to_string(lineNumber) + ": the time goes back, from " +
                    std::to_string(out.calls.back().ms) + " to " + std::to_string(call.ms) + " ms";
            return false;
        }
        out.calls.push_back(std::move(call));
    }
    return true;
}

bool LoadTrace(const std::string& path, RecordedTrace& out, std::string& error) {
    std::string reason;
    std::FILE* file = OpenRegularFile(path.c_str(), reason);
    if (!file) {
        error = "cannot read the trace file " + QuoteForMessage(path) + ": " + reason;
        return false;
    }
    std::string bytes;
    char piece[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.append(piece, got);
        if (bytes.size() > kTraceSizeLimit) break;
    }
    bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (readError) {
        error = "cannot read the trace file " + QuoteForMessage(path);
        return false;
    }
    if (bytes.size() > kTraceSizeLimit) {
        error = QuoteForMessage(path) + " is larger than 1 GiB: not a trace";
        return false;
    }
    return ReadTraceBytes(bytes, path, out, error);
}

std::string DescribeCall(const RecordedCall& c, bool withResults, std::size_t maxBytes) {
    // Put together piece by piece: GCC 12 warns falsely of "literal" + a
    // temporary string (-Wrestrict).
    std::string text = D2xxCallName(c.call);
    std::string results = " = " + std::to_string(c.status);
    auto arg = [&text](const std::string& piece) {
        text += ' ';
        text += piece;
    };
    auto result = [&results](const std::string& piece) {
        results += ' ';
        results += piece;
    };
    switch (c.call) {
        case D2xxCall::ListDevices:
            if (c.listing == Listing::Count) {
                arg("count");
                result(std::to_string(c.results[0]));
            } else if (c.listing == Listing::ByIndex) {
                arg("index");
                arg(std::to_string(c.argument));
                arg(NamingWord(c.naming));
                if (c.naming != Naming::Location)
                    result(QuotedText(c.got));
                else
                    result(c.status == FT_OK ? LocationText(c.results[0]) : "-");
            } else {
                char flags[16];
                std::snprintf(flags, sizeof flags, "0x%08X", static_cast<unsigned>(c.argument));
                arg(flags);
            }
            break;
        case D2xxCall::OpenEx:
            if (c.naming == Naming::None) {
                arg("flags");
                arg(std::to_string(c.argument));
            } else {
                arg(NamingWord(c.naming));
                arg(c.naming == Naming::Location ? LocationText(c.argument) : QuotedText(c.sent));
            }
            break;
        case D2xxCall::Close:
            break;
        case D2xxCall::Read:
            arg(std::to_string(c.argument));
            result(HexOf(c.got, maxBytes));
            break;
        case D2xxCall::Write:
            arg(HexOf(c.sent, maxBytes));
            result(std::to_string(c.results[0]));
            break;
        case D2xxCall::Purge:
            arg(std::to_string(c.argument));
            break;
        case D2xxCall::SetTimeouts:
            arg(std::to_string(c.argument));
            arg(std::to_string(c.writeTimeout));
            break;
        case D2xxCall::GetQueueStatus:
            result(std::to_string(c.results[0]));
            break;
        case D2xxCall::GetStatus:
            for (DWORD n : c.results) result(std::to_string(n));
            break;
        case D2xxCall::SetLatencyTimer:
            arg(std::to_string(c.argument));
            break;
    }
    return withResults ? text + results : text;
}

}  // namespace sim
