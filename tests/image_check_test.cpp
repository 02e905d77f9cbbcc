// Checking the three image files: the samples and generated files pass with
// their summaries, every kind of problem is reported on its line, problem
// lines are capped, and the limits of the PROM and of the gate-array
// requests hold at their exact edges.
#include "image/image_check.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "hex_gen.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

using Checker = ImageCheck (*)(std::string_view);

ImageCheck Check(Checker checker, const std::string& bytes) { return checker(bytes); }

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ImageCheck CheckFile(Checker checker, const std::filesystem::path& path) { return checker(ReadBytes(path)); }

std::string Data(unsigned count) { return std::string(count, '\x5A'); }
std::string Word(unsigned value) { return {static_cast<char>(value >> 8), static_cast<char>(value)}; }
std::string Line(const std::string& record) { return record + "\r\n"; }
const std::string kEnd = Line(HexRecord(0, 0x01, ""));

// Writes a file into the test's own folder and gives its path.
std::filesystem::path WriteInto(const ScratchFolder& dir, const std::string& name, const std::string& bytes) {
    std::ofstream(dir.Path() / name, std::ios::binary) << bytes;
    return dir.Path() / name;
}

}  // namespace

TEST(ImageCheckTest, SamplesPassWithTheirSummaries) {
    const std::filesystem::path samples = std::filesystem::path(QVM7316_SOURCE_DIR) / "samples";
    ImageCheck hex = CheckFile(CheckGenHex, samples / "gen.hex");
    EXPECT_THAT(hex.problems, IsEmpty());
    EXPECT_THAT(hex.summary,
                ElementsAre("gen.hex: 109 records, 1717 data bytes", "gen.hex: data at 0x00000000-0x000003FF",
                            "gen.hex: data at 0x00000808-0x00000A87", "gen.hex: data at 0x00002070-0x0000208F",
                            "gen.hex: data at 0x00007FF0-0x00008004"));
    ImageCheck prom = CheckFile(CheckPromHex, samples / "genprom.hex");
    EXPECT_THAT(prom.problems, IsEmpty());
    EXPECT_THAT(prom.summary, ElementsAre("genprom.hex: 48 pages, 12288 bytes"));
    ImageCheck gateArray = CheckFile(CheckGateArrayImage, samples / "GEN.dat");
    EXPECT_THAT(gateArray.problems, IsEmpty());
    EXPECT_THAT(gateArray.summary, ElementsAre("GEN.dat: 32000 bytes, 1000 blocks of 32"));

    // Size and digest are those of the whole file.
    EXPECT_EQ(gateArray.size, 32000u);
    EXPECT_EQ(gateArray.sha256, "883124a961169112a0627831110ad0e663b3241c7109637bec6ff0bdb1220f94");
}

TEST(ImageCheckTest, GenHexProblemsNameTheirLines) {
    std::string checksumWrong = HexRecord(0x0010, 0, Data(16));
    checksumWrong.replace(checksumWrong.size() - 2, 2, "3F");
    const std::string text = Line(HexRecord(0, 0x04, Word(0))) + checksumWrong + "\r\n" +
                             ":1000G0\r\n"                             // 3
                             ":10000\r\n"                              // 4
                             ":0000\r\n"                               // 5
                             ":10000000AABB01\r\n"                     // 6
                             + Line(HexRecord(0x0100, 0x06, Data(1)))  // 7
                             + Line(HexRecord(0, 0x04, Data(1)))       // 8
                             + Line(HexRecord(0x0000, 0, Data(19)))    // 9: 19 bytes at once
                             + Line(HexRecord(0x0070, 0, Data(32)))    // cut 16 + 16: passes
                             + Line(HexRecord(0x006E, 0, Data(20)))    // 11: cut 18 + 2: passes
                             + Line(HexRecord(0x00F0, 0, Data(36)))    // 12: cut 16 + 20
                             + Line(HexRecord(0x0200, 0, ""))          // 13
                             + "x" + Line(HexRecord(0, 0, Data(1)))    // 14
                             + ":" + std::string(600, '0') + "\r\n"    // 15
                             + Line(HexRecord(0x007F, 0x04, Word(0)))  // 16
                             + kEnd + "\r\n\n" + Line(HexRecord(0, 0, Data(1))) + Line(HexRecord(0, 0, Data(1)));
    EXPECT_THAT(
        Check(CheckGenHex, text).problems,
        ElementsAreArray<std::string>(
            {"gen.hex:2: checksum is 3F, the record needs 40", "gen.hex:3: 'G' at column 6 is not a hexadecimal digit",
             "gen.hex:4: odd number of hexadecimal digits (5)",
             "gen.hex:5: record of 4 hexadecimal digits; a record has at least 10",
             "gen.hex:6: length says 16 data bytes, the line holds 2", "gen.hex:7: unknown record type 06",
             "gen.hex:8: extended linear address record (type 04) of 1 data byte; it takes 2",
             "gen.hex:9: record of 19 data bytes; the loader takes at most 18 per record (after "
             "cutting at 128-byte boundaries)",
             "gen.hex:12: record of 36 data bytes; the loader takes at most 18 per record (after "
             "cutting at 128-byte boundaries)",
             "gen.hex:13: record of length 0 before the end-of-file record",
             "gen.hex:14: the record starts with 'x', not ':'",
             "gen.hex:15: line of 601 characters; a record has at most 521",
             "gen.hex:16: extended linear address record at 007F runs across a 128-byte boundary; "
             "the conversion would cut it in two",
             "gen.hex:20: data after the end-of-file record"}));

    // Whole-file problems, and the last record cut short.
    EXPECT_THAT(Check(CheckGenHex, "").problems,
                ElementsAre("gen.hex: no end-of-file record", "gen.hex: no data record"));
    EXPECT_THAT(Check(CheckGenHex, "\r\n" + kEnd).problems, ElementsAre("gen.hex: no data record"));
    EXPECT_THAT(Check(CheckGenHex, Line(HexRecord(0, 0, Data(4))) + HexRecord(0, 1, "")).problems,
                ElementsAre("gen.hex:2: no line end after the last record (file cut short?)"));
    EXPECT_THAT(Check(CheckGenHex, Line(HexRecord(0, 0, Data(4))) + ":00000001F").problems,
                ElementsAre("gen.hex:2: odd number of hexadecimal digits (9)",
                            "gen.hex:2: no line end after the last record (file cut short?)",
                            "gen.hex: no end-of-file record"));
}

TEST(ImageCheckTest, GenHexLineEndsAndAddressesAsTheConversionReadsThem) {
    for (const std::string lineEnd : {"\n", "\r", "\r\n"}) {
        HexGenOptions options;
        options.seed = static_cast<std::uint32_t>(lineEnd.size() + lineEnd[0]);
        options.textBytes = 300000;  // beyond several read chunks, across 64 KiB segments
        options.maxRecord = 18;
        options.lowerCase = lineEnd == "\r";
        options.lineEnd = lineEnd;
        const std::string text = "\n\r\n" + GenerateIntelHex(options) + lineEnd + lineEnd;
        ImageCheck result = Check(CheckGenHex, text);
        EXPECT_THAT(result.problems, IsEmpty()) << int(lineEnd[0]);
        EXPECT_EQ(result.size, text.size());
    }

    // Segment and linear bases; contiguous data merged; a record cut at
    // 0x10000 goes on at the segment's start, as the conversion sends it.
    const std::string text = Line(HexRecord(0, 0x02, Word(0x1000))) + Line(HexRecord(0x0010, 0, Data(8))) +
                             Line(HexRecord(0, 0x04, Word(0x0001))) + Line(HexRecord(0x0018, 0, Data(8))) +
                             Line(HexRecord(0, 0x04, Word(0x8000))) + Line(HexRecord(0xFFF8, 0, Data(16))) + kEnd;
    EXPECT_THAT(Check(CheckGenHex, text).summary,
                ElementsAre("gen.hex: 7 records, 32 data bytes", "gen.hex: data at 0x00010010-0x0001001F",
                            "gen.hex: data at 0x80000000-0x80000007", "gen.hex: data at 0x8000FFF8-0x8000FFFF"));

    std::string gaps;
    for (unsigned i = 0; i < 20; ++i) gaps += Line(HexRecord(0x0300 - 0x20 * i, 0, Data(16)));
    ImageCheck many = Check(CheckGenHex, gaps + kEnd);
    ASSERT_EQ(many.summary.size(), 18u);
    EXPECT_EQ(many.summary[1], "gen.hex: data at 0x000000A0-0x000000AF");
    EXPECT_EQ(many.summary[17], "gen.hex: ... and 4 more ranges");
}

TEST(ImageCheckTest, ProblemLinesAreCappedAndRandomBytesFailCleanly) {
    std::string bad;
    for (int i = 0; i < 100; ++i) bad += ":0\r\n";
    ImageCheck capped = Check(CheckGenHex, bad);
    ASSERT_EQ(capped.problems.size(), kMaxListedProblems + 3);
    EXPECT_EQ(capped.problems[19], "gen.hex:20: odd number of hexadecimal digits (1)");
    EXPECT_THAT(std::vector<std::string>(capped.problems.begin() + 20, capped.problems.end()),
                ElementsAre("gen.hex: 80 more problems on other lines", "gen.hex: no end-of-file record",
                            "gen.hex: no data record"));

    std::mt19937 random(3);
    for (std::size_t size : {1u, 100u, 3000000u}) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        for (auto [checker, name] :
             {std::pair<Checker, const char*>{CheckGenHex, "gen.hex"}, {CheckPromHex, "genprom.hex"}}) {
            ImageCheck result = Check(checker, bytes);
            EXPECT_FALSE(result.problems.empty()) << name << " " << size;
            EXPECT_LE(result.problems.size(), kMaxListedProblems + 4) << name << " " << size;
            for (const std::string& line : result.problems) EXPECT_THAT(line, StartsWith(name));
            EXPECT_EQ(result.sha256, Sha256HexOf(bytes.data(), bytes.size()));
        }
    }
}

TEST(ImageCheckTest, PromPagesAndTheirLimit) {
    const std::string page(512, 'f');
    EXPECT_THAT(Check(CheckPromHex, page + "\r\n\r\n0\r\nab\r\n" + page + "0\r\n12 4\r\n" + page).problems,
                ElementsAre("genprom.hex:3: odd number of hexadecimal digits (1)",
                            "genprom.hex:5: line of 513 characters; a page has at most 512 hexadecimal digits",
                            "genprom.hex:6: ' ' at column 3 is not a hexadecimal digit"));
    for (const std::string lineEnd : {"\n", "\r", "\r\n"}) {
        ImageCheck result = Check(CheckPromHex, page + lineEnd + lineEnd + "00" + lineEnd + "A5");
        EXPECT_THAT(result.problems, IsEmpty()) << int(lineEnd[0]);
        EXPECT_THAT(result.summary, ElementsAre("genprom.hex: 4 pages, 258 bytes"));
    }
    // A CR LF split between two read chunks (64 KiB) is one line end.
    std::string straddling = "0000\n";
    for (int i = 0; i < 20000; ++i) straddling += "00\r\n";
    ASSERT_EQ(straddling.substr(65535, 2), "\r\n");
    EXPECT_THAT(Check(CheckPromHex, straddling).summary, ElementsAre("genprom.hex: 20001 pages, 20002 bytes"));
    EXPECT_THAT(Check(CheckPromHex, "\r\n\n").problems, ElementsAre("genprom.hex: no page holds data"));
    EXPECT_THAT(Check(CheckPromHex, "").problems, ElementsAre("genprom.hex: no page holds data"));

    // 65,536 pages fill the PROM; one more line, even an empty one, is too
    // many, and the lines beyond are not looked at.
    std::string full;
    for (int i = 0; i < 65536; ++i) full += "00\n";
    ImageCheck fits = Check(CheckPromHex, full);
    EXPECT_THAT(fits.problems, IsEmpty());
    EXPECT_THAT(fits.summary, ElementsAre("genprom.hex: 65536 pages, 65536 bytes"));
    EXPECT_THAT(Check(CheckPromHex, full + "\n").problems, ElementsAre("genprom.hex is larger than the PROM"));
    EXPECT_THAT(Check(CheckPromHex, full + std::string(200000, 'x')).problems,
                ElementsAre("genprom.hex is larger than the PROM"));
}

TEST(ImageCheckTest, GateArrayImageSizes) {
    EXPECT_THAT(Check(CheckGateArrayImage, "").problems, ElementsAre("GEN.dat: empty"));
    // The last block a six-digit request can name, asked block after block.
    ImageCheck fits = Check(CheckGateArrayImage, std::string(1000000, '\xA5'));
    EXPECT_THAT(fits.problems, IsEmpty());
    EXPECT_THAT(fits.summary, ElementsAre("GEN.dat: 1000000 bytes, 31250 blocks of 32"));
    EXPECT_THAT(Check(CheckGateArrayImage, std::string(1000001, '\xA5')).problems,
                ElementsAre("GEN.dat: 1000001 bytes; the device can ask for at most 1000000 (its block requests "
                            "carry at most six decimal digits)"));
}

// The image files are read whole into memory, and only when their size
// stays within the bound: a larger file is refused without being read.
TEST(ImageCheckTest, FilesAreReadWholeOnlyWithinTheirBound) {
    auto read = [](const std::filesystem::path& path, std::uint64_t limit) {
        std::FILE* file = std::fopen(path.string().c_str(), "rb");
        EXPECT_NE(file, nullptr) << path;
        FileContents contents = ReadWholeFile(file, limit);
        std::fclose(file);
        return contents;
    };
    ScratchFolder dir;
    const std::string bytes(70000, 'z');
    const std::filesystem::path path = WriteInto(dir, "image", bytes);
    FileContents whole = read(path, 70000);
    EXPECT_TRUE(whole.bytes == bytes);
    EXPECT_EQ(whole.size, 70000u);
    EXPECT_FALSE(whole.tooLarge);
    FileContents over = read(path, 69999);
    EXPECT_TRUE(over.tooLarge);
    EXPECT_EQ(over.size, 70000u);
    EXPECT_TRUE(over.bytes.empty());

    // A terabyte, were it read, would take the test down: its size alone refuses it.
    std::filesystem::resize_file(path, std::uint64_t{1} << 40);
    FileContents huge = read(path, kPromHexMaxBytes);
    EXPECT_TRUE(huge.tooLarge);
    EXPECT_EQ(huge.size, std::uint64_t{1} << 40);

    // A file holding more than its size says, as one that grows while it is
    // read does, is cut off one byte beyond the bound.
    FileContents status = read("/proc/self/status", 100);
    EXPECT_TRUE(status.tooLarge);
    EXPECT_GT(status.size, 100u);
    FileContents all = read("/proc/self/status", 1 << 20);
    EXPECT_FALSE(all.tooLarge);
    EXPECT_THAT(all.bytes, StartsWith("Name:"));
    EXPECT_EQ(all.size, all.bytes.size());

    // A directory opens but cannot be read.
    EXPECT_EQ(read(dir.Path(), 1 << 20).readError, "Is a directory");
}
