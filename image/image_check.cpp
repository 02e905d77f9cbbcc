#include "image/image_check.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "platform/sha256.h"
#include "protocol/limits.h"

namespace {

// The longest gen.hex record: ':', then length, address, type, 255 data
// bytes and the checksum as two digits each.
constexpr std::size_t kMaxRecordChars = 1 + 2 * (5 + 255);
// Distinct address ranges kept for the summary; more are only noted.
constexpr std::size_t kMaxTrackedRanges = 65536;

// A page as hexadecimal digits.
constexpr std::size_t kMaxPageDigits = 2 * kPromPageSize;

std::string Decimal(std::uint64_t value) { return std::to_string(value); }

std::string DataBytes(std::uint64_t count) { return Decimal(count) + (count == 1 ? " data byte" : " data bytes"); }

// value as `width` upper-case hexadecimal digits.
std::string HexDigits(std::uint64_t value, int width) {
    std::string text(width, '0');
    for (int i = width - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 15];
    return text;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

unsigned HexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// A character as a reader of the report can see it.
std::string Describe(char c) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) return std::string("'") + c + "'";
    return "byte 0x" + HexDigits(byte, 2);
}

// Problems of one file: those on single lines listed up to the cap, the
// rest counted; those of the whole file added after them.
struct Problems {
    const char* fileName = "";
    std::vector<std::string> lines;
    std::uint64_t unlisted = 0;
    std::vector<std::string> wholeFile;
};

Problems ProblemsOf(const char* fileName) {
    Problems problems;
    problems.fileName = fileName;
    return problems;
}

void LineProblem(Problems& problems, std::uint64_t line, const std::string& what) {
    if (problems.lines.size() < kMaxListedProblems)
        problems.lines.push_back(std::string(problems.fileName) + ":" + Decimal(line) + ": " + what);
    else
        ++problems.unlisted;
}

void FileProblem(Problems& problems, const std::string& what) {
    problems.wholeFile.push_back(std::string(problems.fileName) + ": " + what);
}

// Moves the problems, the size and the digest into the result.
void FinishCheck(std::string_view bytes, Problems& problems, ImageCheck& result) {
    result.problems = std::move(problems.lines);
    if (problems.unlisted > 0)
        result.problems.push_back(std::string(problems.fileName) + ": " + Decimal(problems.unlisted) +
                                  " more problems on other lines");
    for (std::string& line : problems.wholeFile) result.problems.push_back(std::move(line));
    result.size = bytes.size();
    result.sha256 = Sha256HexOf(bytes.data(), bytes.size());
}

// The result for more bytes than an image's bound: that one problem.
ImageCheck TooLargeCheck(std::string_view bytes, std::string problem) {
    Problems problems;
    problems.wholeFile.push_back(std::move(problem));
    ImageCheck result;
    FinishCheck(bytes, problems, result);
    return result;
}

enum class LineEnd { CrLf, Lf, Cr, None };

struct Line {
    std::uint64_t number;   // from 1
    std::string_view kept;  // the first characters, as many as are looked at
    std::uint64_t length;   // all characters before the line end
    LineEnd end;
};

// Splits the bytes into lines and hands each to onLine, with at most `keep`
// characters of it. Returns true when a line beyond maxLines begins: the
// lines from there on are not looked at.
template <typename OnLine>
bool ReadLines(std::string_view bytes, std::size_t keep, std::uint64_t maxLines, OnLine onLine) {
    std::uint64_t number = 1;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (number > maxLines) return true;
        std::size_t stop = at;
        while (stop < bytes.size() && bytes[stop] != '\r' && bytes[stop] != '\n') ++stop;
        std::size_t length = stop - at;
        LineEnd end = LineEnd::None;
        std::size_t next = stop;
        if (stop < bytes.size() && bytes[stop] == '\n') {
            end = LineEnd::Lf;
            next = stop + 1;
        } else if (stop < bytes.size()) {
            bool lf = stop + 1 < bytes.size() && bytes[stop + 1] == '\n';
            end = lf ? LineEnd::CrLf : LineEnd::Cr;
            next = stop + (lf ? 2 : 1);
        }
        onLine(Line{number++, bytes.substr(at, std::min(length, keep)), length, end});
        at = next;
    }
    return false;
}

// Address ranges [start, end), merged where they touch or overlap.
struct Ranges {
    std::map<std::uint64_t, std::uint64_t> byStart;
    bool overflow = false;  // more distinct ranges than are kept
    // The span of them all, kept even when some ranges are not.
    std::uint64_t lowest = UINT64_MAX, end = 0;
};

void AddRange(Ranges& ranges, std::uint64_t start, std::uint64_t end) {
    ranges.lowest = std::min(ranges.lowest, start);
    ranges.end = std::max(ranges.end, end);
    auto& map = ranges.byStart;
    if (!map.empty() && std::prev(map.end())->second == start) {
        std::prev(map.end())->second = end;  // the usual case: data in address order
        return;
    }
    auto next = map.upper_bound(start);
    if (next != map.begin() && std::prev(next)->second >= start) {
        auto previous = std::prev(next);
        start = previous->first;
        end = std::max(end, previous->second);
        map.erase(previous);
    }
    while (next != map.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = map.erase(next);
    }
    if (map.size() < kMaxTrackedRanges)
        map.emplace(start, end);
    else
        ranges.overflow = true;
}

struct GenHexCheck {
    Problems problems = ProblemsOf("gen.hex");
    bool endRecordSeen = false;
    bool afterEndReported = false;
    std::uint64_t records = 0, dataRecords = 0, dataBytes = 0;
    std::uint64_t base = 0;  // from the last extended address record
    Ranges ranges;
};

const char* RecordName(unsigned type) {
    static const char* const names[] = {"data",
                                        "end-of-file",
                                        "extended segment address",
                                        "start segment address",
                                        "extended linear address",
                                        "start linear address"};
    return names[type];
}

// The data of a record at 16-bit offset `offset`: the offset wraps at 0xFFFF
// as the conversion's second half of a cut record does.
void AddRecordData(GenHexCheck& check, unsigned offset, unsigned length) {
    unsigned first = std::min(length, 0x10000u - offset);
    AddRange(check.ranges, check.base + offset, check.base + offset + first);
    if (length > first) AddRange(check.ranges, check.base, check.base + (length - first));
}

// Checks a record line that holds only hexadecimal digits after its ':'.
void CheckRecordFields(GenHexCheck& check, std::uint64_t line, std::string_view digits) {
    Problems& problems = check.problems;
    if (digits.size() % 2 != 0) {
        LineProblem(problems, line, "odd number of hexadecimal digits (" + Decimal(digits.size()) + ")");
        return;
    }
    if (digits.size() < 10) {
        LineProblem(problems, line,
                    "record of " + Decimal(digits.size()) + " hexadecimal digits; a record has at least 10");
        return;
    }
    std::uint8_t bytes[kMaxRecordChars / 2];
    std::size_t count = digits.size() / 2;
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(HexValue(digits[2 * i]) << 4 | HexValue(digits[2 * i + 1]));
        sum += bytes[i];
    }
    unsigned length = bytes[0], offset = bytes[1] << 8 | bytes[2], type = bytes[3];
    if (count != 5 + length) {
        LineProblem(problems, line, "length says " + DataBytes(length) + ", the line holds " + Decimal(count - 5));
        return;
    }
    if (sum % 256 != 0) {
        unsigned found = bytes[count - 1], needed = (found - sum) & 0xFF;
        LineProblem(problems, line,
                    "checksum is " + HexDigits(found, 2) + ", the record needs " + HexDigits(needed, 2));
    }
    if (type > 5) {
        LineProblem(problems, line, "unknown record type " + HexDigits(type, 2));
        return;
    }
    if (type == 1) check.endRecordSeen = true;

    unsigned room = kRecordBoundary - offset % kRecordBoundary;
    if (type == 0) {
        // The conversion into gn.hex ends at the first record of length 0:
        // nothing after it would reach the loader.
        if (length == 0) {
            LineProblem(problems, line, "record of length 0 before the end-of-file record");
            return;
        }
        ++check.dataRecords;
        check.dataBytes += length;
        AddRecordData(check, offset, length);
        unsigned largest = length > room ? std::max(room, length - room) : length;
        if (largest > kLoaderRecordLimit)
            LineProblem(problems, line,
                        "record of " + Decimal(length) + " data bytes; the loader takes at most " +
                            Decimal(kLoaderRecordLimit) + " per record (after cutting at 128-byte boundaries)");
        return;
    }

    static const unsigned expectedLength[] = {0, 0, 2, 4, 2, 4};
    if (length != expectedLength[type]) {
        LineProblem(problems, line,
                    std::string(RecordName(type)) + " record (type " + HexDigits(type, 2) + ") of " +
                        DataBytes(length) + "; it takes " + Decimal(expectedLength[type]));
        return;
    }
    // The conversion would cut any record, whatever its type.
    if (length > room)
        LineProblem(problems, line,
                    std::string(RecordName(type)) + " record at " + HexDigits(offset, 4) +
                        " runs across a 128-byte boundary; the conversion would cut it in two");
    if (type == 2) check.base = static_cast<std::uint64_t>(bytes[4] << 8 | bytes[5]) << 4;
    if (type == 4) check.base = static_cast<std::uint64_t>(bytes[4] << 8 | bytes[5]) << 16;
}

void CheckRecordLine(GenHexCheck& check, const Line& line) {
    if (line.length == 0) return;  // a blank line
    Problems& problems = check.problems;
    if (check.endRecordSeen) {
        if (!check.afterEndReported) LineProblem(problems, line.number, "data after the end-of-file record");
        check.afterEndReported = true;
        return;
    }
    ++check.records;
    if (line.length > kMaxRecordChars) {
        LineProblem(
            problems, line.number,
            "line of " + Decimal(line.length) + " characters; a record has at most " + Decimal(kMaxRecordChars));
    } else if (line.kept[0] != ':') {
        LineProblem(problems, line.number, "the record starts with " + Describe(line.kept[0]) + ", not ':'");
    } else {
        std::string_view digits = line.kept.substr(1);
        auto bad = std::find_if_not(digits.begin(), digits.end(), IsHexDigit);
        if (bad != digits.end())
            LineProblem(
                problems, line.number,
                Describe(*bad) + " at column " + Decimal(bad - digits.begin() + 2) + " is not a hexadecimal digit");
        else
            CheckRecordFields(check, line.number, digits);
    }
    if (line.end == LineEnd::None)
        LineProblem(problems, line.number, "no line end after the last record (file cut short?)");
}

std::string AddressRange(std::uint64_t start, std::uint64_t end) {
    return "0x" + HexDigits(start, 8) + "-0x" + HexDigits(end - 1, 8);
}

// From the lowest address to the highest, in 4 digits each
// when the data lies in the processor's 64 KiB, as it should.
std::string DataSpan(const Ranges& ranges) {
    if (ranges.end == 0) return "";
    std::uint64_t last = ranges.end - 1;
    int width = last <= 0xFFFF ? 4 : 8;
    return "0x" + HexDigits(ranges.lowest, width) + "-0x" + HexDigits(last, width);
}

}  // namespace

std::string GenHexTooLarge(std::uint64_t size) {
    return "gen.hex: " + Decimal(size) + " bytes; a firmware image is at most " + Decimal(kGenHexMaxBytes) +
           " (16 MiB), far above any firmware for the 64 KiB processor";
}

std::string PromHexTooLarge(std::uint64_t size) {
    return "genprom.hex: " + Decimal(size) + " bytes; the PROM's " + Decimal(kPromPageCount) + " pages take at most " +
           Decimal(kPromHexMaxBytes) + " (" + Decimal(kMaxPageDigits) + " hexadecimal digits and CR LF each)";
}

std::string GateArrayImageTooLarge(std::uint64_t size) {
    return "GEN.dat: " + Decimal(size) + " bytes; the device can ask for at most " + Decimal(kGateArrayImageLimit) +
           " (its block requests carry at most six decimal digits)";
}

ImageCheck CheckGenHex(std::string_view bytes) {
    if (bytes.size() > kGenHexMaxBytes) return TooLargeCheck(bytes, GenHexTooLarge(bytes.size()));
    GenHexCheck check;
    ReadLines(bytes, kMaxRecordChars, UINT64_MAX, [&](const Line& line) { CheckRecordLine(check, line); });

    if (!check.endRecordSeen) FileProblem(check.problems, "no end-of-file record");
    if (check.dataRecords == 0) FileProblem(check.problems, "no data record");
    ImageCheck result;
    FinishCheck(bytes, check.problems, result);
    result.dataSpan = DataSpan(check.ranges);

    result.summary.push_back("gen.hex: " + Decimal(check.records) + " records, " + Decimal(check.dataBytes) +
                             " data bytes");
    std::size_t listed = 0;
    for (const auto& [start, end] : check.ranges.byStart) {
        if (listed++ == kMaxListedRanges) break;
        result.summary.push_back("gen.hex: data at " + AddressRange(start, end));
    }
    std::size_t ranges = check.ranges.byStart.size();
    if (ranges > kMaxListedRanges)
        result.summary.push_back("gen.hex: ... and " + std::string(check.ranges.overflow ? "more than " : "") +
                                 Decimal(ranges - kMaxListedRanges) + " more ranges");
    return result;
}

ImageCheck CheckPromHex(std::string_view bytes) {
    if (bytes.size() > kPromHexMaxBytes) return TooLargeCheck(bytes, PromHexTooLarge(bytes.size()));
    Problems problems = ProblemsOf("genprom.hex");
    std::uint64_t pages = 0, pageBytes = 0, pagesWithData = 0;
    // One character beyond a page is kept: enough to show what is wrong there.
    bool tooLarge = ReadLines(bytes, kMaxPageDigits + 1, kPromPageCount, [&](const Line& line) {
        ++pages;
        auto bad = std::find_if_not(line.kept.begin(), line.kept.end(), IsHexDigit);
        if (bad != line.kept.end()) {
            LineProblem(
                problems, line.number,
                Describe(*bad) + " at column " + Decimal(bad - line.kept.begin() + 1) + " is not a hexadecimal digit");
        } else if (line.length > kMaxPageDigits) {
            LineProblem(problems, line.number,
                        "line of " + Decimal(line.length) + " characters; a page has at most " +
                            Decimal(kMaxPageDigits) + " hexadecimal digits");
        } else if (line.length % 2 != 0) {
            LineProblem(problems, line.number, "odd number of hexadecimal digits (" + Decimal(line.length) + ")");
        } else {
            pageBytes += line.length / 2;
            if (line.length > 0) ++pagesWithData;
        }
    });

    if (tooLarge) problems.wholeFile.push_back("genprom.hex is larger than the PROM");
    if (pagesWithData == 0) FileProblem(problems, "no page holds data");
    ImageCheck result;
    FinishCheck(bytes, problems, result);
    result.summary.push_back("genprom.hex: " + Decimal(pages) + " pages, " + Decimal(pageBytes) + " bytes");
    return result;
}

ImageCheck CheckGateArrayImage(std::string_view bytes) {
    if (bytes.size() > kGateArrayMaxBytes) return TooLargeCheck(bytes, GateArrayImageTooLarge(bytes.size()));
    Problems problems = ProblemsOf("GEN.dat");
    if (bytes.empty()) FileProblem(problems, "empty");
    ImageCheck result;
    FinishCheck(bytes, problems, result);
    result.summary.push_back("GEN.dat: " + Decimal(bytes.size()) + " bytes, " +
                             Decimal((bytes.size() + kGateArrayBlockSize - 1) / kGateArrayBlockSize) + " blocks of 32");
    return result;
}
