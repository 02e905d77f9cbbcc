// Converting gen.hex into gn.hex: the worked examples byte for byte, line
// ends, the stage's failures, and a property check over generated files
// with srecord's srec_cmp, a tool written elsewhere.
#include "image/record_split.h"

#include <gmock/gmock.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "hex_gen.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::HasSubstr;

namespace {

class RecordSplitTest : public DeviceTest {
  protected:
    // Converts input and returns gn.hex; the stage must succeed.
    std::string Convert(const std::string& input) {
        WriteFile("gen.hex", input);
        EXPECT_EQ(ConvertHexFile(), 0);
        return ReadFile("gn.hex");
    }
};

std::string Bytes(unsigned first, unsigned count) {
    std::string data;
    for (unsigned i = 0; i < count; ++i) data += static_cast<char>(first + i);
    return data;
}

struct Record {
    unsigned length, address, type;
    bool checksumRight;
};

// The records of a converted file, checked for the CR LF after each.
std::vector<Record> ParseRecords(const std::string& text) {
    std::vector<Record> records;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line, '\n')) {
        EXPECT_TRUE(line.size() >= 12 && line.back() == '\r' && line[0] == ':') << line;
        if (line.size() < 12) continue;
        unsigned sum = 0;
        std::vector<unsigned> bytes;
        for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
            bytes.push_back(static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16)));
            sum += bytes.back();
        }
        records.push_back({bytes[0], bytes[1] << 8 | bytes[2], bytes[3], sum % 256 == 0});
    }
    return records;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

TEST_F(RecordSplitTest, RecordAcrossABoundaryIsCutThere) {
    EXPECT_EQ(Convert(":10007800000102030405060708090A0B0C0D0E0F00\r\n:00000001FF\r\n"),
              ":08007800000102030405060764\r\n:0800800008090A0B0C0D0E0F1C\r\n");
    EXPECT_EQ(Output(), "Converting file format............\ngen.hex to gn.hex conversion done\n");
    EXPECT_EQ(g_stepCounter, 1);
}

TEST_F(RecordSplitTest, RecordsUpToABoundaryPassUnchangedButForTheirCase) {
    const std::string in =
        ":020000040000FA\r\n"
        ":10007000aabbccddeeff00112233445566778899e3\r\n"
        ":10008000000102030405060708090A0B0C0D0E0F00\r\n";  // wrong checksum, kept
    EXPECT_EQ(Convert(in + ":00000001FF\r\n"),
              ":020000040000FA\r\n"
              ":10007000AABBCCDDEEFF00112233445566778899E3\r\n"
              ":10008000000102030405060708090A0B0C0D0E0F00\r\n");
}

TEST_F(RecordSplitTest, SplitAtTheTopWrapsToZeroAndGetsFreshChecksumsAndType00) {
    EXPECT_EQ(Convert(":10FFF800000102030405060708090A0B0C0D0E0F77\r\n"),
              ":08FFF8000001020304050607E5\r\n:0800000008090A0B0C0D0E0F9C\r\n");
    // The first half keeps the input's type, the second is type 00.
    EXPECT_EQ(Convert(HexRecord(0x0078, 0x03, Bytes(0, 16)) + "\r\n"),
              HexRecord(0x0078, 0x03, Bytes(0, 8)) + "\r\n" + HexRecord(0x0080, 0x00, Bytes(8, 8)) + "\r\n");
}

TEST_F(RecordSplitTest, LongRecordsAreCutOnceOnly) {
    EXPECT_EQ(Convert(HexRecord(0x0010, 0, Bytes(0, 200)) + "\r\n"),
              HexRecord(0x0010, 0, Bytes(0, 112)) + "\r\n" + HexRecord(0x0080, 0, Bytes(112, 88)) + "\r\n");
    // The second half of 255 bytes runs on across 0x0100.
    EXPECT_EQ(Convert(HexRecord(0x0010, 0, Bytes(0, 255)) + "\r\n"),
              HexRecord(0x0010, 0, Bytes(0, 112)) + "\r\n" + HexRecord(0x0080, 0, Bytes(112, 143)) + "\r\n");
}

TEST_F(RecordSplitTest, EndOfFileRecordEndsTheConversion) {
    const std::string record = ":0400000001020304F2\r\n";
    EXPECT_EQ(Convert(":00000001FF\r\n" + record), "");
    EXPECT_EQ(Convert(record + ":00000001FF\r\n" + record), record);
    EXPECT_EQ(Convert(record), record);                     // no end-of-file record
    EXPECT_EQ(Convert(";0400000001020304F2\r\n"), record);  // any start character
}

TEST_F(RecordSplitTest, LineEndsAreReadAsTheyComeAndWrittenAsCrLf) {
    const std::string expected = ":0400000001020304F2\r\n:08007800000102030405060764\r\n:010080000877\r\n";
    for (const std::string end : {"\n", "\r", "\r\n"}) {
        EXPECT_EQ(Convert(":0400000001020304F2" + end + ":090078000001020304050607085B" + end + ":00000001FF" + end),
                  expected)
            << Hex(end);
    }
    // No line end at the end of the file, blank lines, and stray characters
    // after a record: the last record keeps its checksum, nothing else leaks in.
    EXPECT_EQ(Convert("\r\n:0400000001020304F2 x\r\n\n\r\n:090078000001020304050607085B"), expected);
}

TEST_F(RecordSplitTest, FailuresCloseWhatWasOpened) {
    EXPECT_EQ(ConvertHexFile(), GEN_HEX_OPEN_FAILURE);
    EXPECT_EQ(Output(), "failed to open gen.hex\nNo such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(Dir() / "gn.hex"));

    // gn.hex is written only as a file of its own: a folder, or a link to
    // a file elsewhere, is refused and the file it points to left alone.
    WriteFile("gen.hex", ":0400000001020304F2\r\n");
    std::filesystem::create_directory(Dir() / "gn.hex");
    EXPECT_EQ(ConvertHexFile(), GN_HEX_OPEN_FAILURE);
    EXPECT_EQ(Output(), "failed to open gn.hex\nit is a folder, not a file\n");
    std::filesystem::remove(Dir() / "gn.hex");
    WriteFile("elsewhere.txt", "keep me");
    std::filesystem::create_symlink(Dir() / "elsewhere.txt", Dir() / "gn.hex");
    EXPECT_EQ(ConvertHexFile(), GN_HEX_OPEN_FAILURE);
    EXPECT_EQ(Output(), "failed to open gn.hex\nit is a symbolic link, which is not followed\n");
    EXPECT_EQ(ReadFile("elsewhere.txt"), "keep me");
    std::filesystem::remove(Dir() / "gn.hex");

    // A full disk shows when gn.hex is closed: here, a limit on the size of
    // the files the process writes.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tiny = saved;
    tiny.rlim_cur = 4;
    setrlimit(RLIMIT_FSIZE, &tiny);
    int status = ConvertHexFile();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, FILE_CLOSE_FAILURE);
    EXPECT_EQ(Output(), "Converting file format............\nerror closing file\n");
    EXPECT_EQ(g_stepCounter, 0);
}

// Generated files, converted: srec_cmp finds the same data in both, every
// written record has a right checksum, and no record that came from one of
// at most 128 bytes runs across a 128-byte boundary.
TEST_F(RecordSplitTest, ConvertedFilesHoldTheSameDataAndRespectTheBoundary) {
    ASSERT_EQ(Shell("srec_cmp -version"), 0) << "srec_cmp (Debian package srecord) is needed";
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        HexGenOptions options;
        options.seed = seed;
        options.textBytes = 20000;
        options.maxRecord = seed % 3 == 0 ? 255 : seed % 3 == 1 ? 16 : 128;
        options.lowerCase = seed % 4 == 0;
        options.lineEnd = seed % 5 == 0 ? "\n" : "\r\n";
        std::string out = Convert(GenerateIntelHex(options));
        EXPECT_EQ(Shell("srec_cmp gen.hex -intel gn.hex -intel"), 0) << "seed " << seed;
        for (const Record& r : ParseRecords(out)) {
            EXPECT_TRUE(r.checksumRight) << "seed " << seed << " at " << r.address;
            if (options.maxRecord <= 128 && r.type == 0) {
                EXPECT_LE(r.address % 128 + r.length, 128u) << "seed " << seed << " at " << r.address;
            }
        }
    }
}
