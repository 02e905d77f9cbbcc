// The PROM erase and the PROM programming on the wire and in the emulated
// PROM, every row of their failure tables, and the PROM model itself.
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "device/link.h"
#include "platform/clock.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/program_prom.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;

namespace {

// The clock time of every progress tick.
std::vector<std::uint64_t> g_tickTimes;
const DisplayOps* TimedDisplay() {
    static DisplayOps ops = *RecordingDisplay();
    ops.Progress = [](int, const char*) {
        g_tickTimes.push_back(NowMs());
        return true;
    };
    return &ops;
}

// Open file descriptors of the process: a stage that leaves its image file
// open on a failure path leaves one more behind.
std::size_t OpenFiles() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

std::vector<std::uint8_t> DecodeLines(const std::string& text) {
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c != '\r' && c != '\n'; });
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Lines(int count, int charsPerLine) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::string(charsPerLine, "0123456789ABCDEF"[i % 16]) + "\r\n";
    return text;
}

// The bytes of the page header for `page`, one write each.
std::vector<std::string> Header(unsigned page) {
    const char* digits = "0123456789ABCDEF";
    std::vector<std::string> bytes = {"D0", "30", "36", "D2", "D0", "30", "32"};
    for (int shift : {12, 8, 4, 0}) bytes.push_back(Hex(std::string(1, digits[(page >> shift) & 15])));
    bytes.insert(bytes.end(), {"30", "30"});
    return bytes;
}

}  // namespace

class PromTest : public DeviceTest {
  protected:
    // The bytes of every FT_Write, without times.
    std::vector<std::string> Bytes() {
        std::vector<std::string> bytes;
        for (const auto& w : Writes()) bytes.push_back(w.substr(w.find(' ') + 1));
        return bytes;
    }
    // What each page block carried between its header and its 0xD2 ("" for
    // nothing), up to the closing header.
    std::vector<std::string> PageData() {
        auto bytes = Bytes();
        std::vector<std::string> data;
        for (std::size_t i = 13; i < bytes.size() && bytes[i] != "C0"; i += 14) {
            bool carried = bytes[i] != "D2";
            data.push_back(carried ? bytes[i] : "");
            if (carried) ++i;
        }
        if (!data.empty()) data.pop_back();  // the closing header
        return data;
    }
    std::vector<std::uint8_t> DumpedProm() {
        std::string error;
        EXPECT_TRUE(sim::DumpDevice(Device(), "dump", error)) << error;
        std::string bin = ReadFile("dump/prom.bin");
        return std::vector<std::uint8_t>(bin.begin(), bin.end());
    }
};

TEST_F(PromTest, EraseSendsTheGroupsThenWaitsOneHundredAndOneSeconds) {
    SelectDisplay(TimedDisplay());
    EXPECT_EQ(ErasePromChip(), 0);
    EXPECT_THAT(Writes(), ElementsAre("200 D2", "1200 D0", "1200 30", "1200 36", "1200 D2", "1200 D0", "1200 43",
                                      "1200 37", "1200 D2", "102200 C0"));
    // After counts 0, 30, 60 and 90 (each after its second), and at the end.
    EXPECT_THAT(g_tickTimes, ElementsAre(2200, 32200, 62200, 92200, 102200));
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("QVM7316 found\nErasing PROM.....Please wait........\n PROM is   0 % erased\r"
                               " PROM is   1 % erased\r"));
    EXPECT_THAT(out, HasSubstr(" PROM is  99 % erased\r PROM is 100 % erased\r\nPROM is fully Erased\n"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 101);
    EXPECT_EQ(g_stepCounter, 5);
    EXPECT_EQ(Device().prom.chipErases, 1u);
    EXPECT_FALSE(Device().prom.writeEnabled);
    EXPECT_FALSE(Device().open);
}

TEST_F(PromTest, EraseFailureRows) {
    Start("devices =");
    EXPECT_EQ(ErasePromChip(), USB_OPEN_FAILURE);

    Start("fail = FT_Purge 1");
    EXPECT_EQ(ErasePromChip(), USB_PURGE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetPurge Failed\n"));
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(Device().open);

    Start("fail = FT_Close 1");
    EXPECT_EQ(ErasePromChip(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("PROM is fully Erased\nClose Failed\n"));
    EXPECT_EQ(g_stepCounter, 4);  // the wait's ticks, not the final one

    // A lost digit of the write enable: the erase is refused, the wait runs
    // in full, and the stage fails at its end.
    Start("fail = FT_Write 3");
    EXPECT_EQ(ErasePromChip(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Please wait........\nUSB Write Failed\n PROM is"));
    EXPECT_EQ(Device().prom.chipErases, 0u);
    EXPECT_THAT(Writes().back(), EndsWith(" C0"));
}

TEST_F(PromTest, PageBlockOfPage291ByteForByte) {
    std::string text;
    for (int i = 0; i < 293; ++i) text += std::string(i == 291 ? "C0FFEE" : "00") + "\r\n";
    WriteFile("genprom.hex", text);
    ASSERT_EQ(ProgramProm(), 0);
    // Every page with data is 15 writes: 13 header bytes, the data, 0xD2.
    auto writes = Writes();
    std::vector<std::string> block;
    for (std::size_t i = 291 * 15; i < 292 * 15; ++i) block.push_back(writes[i]);
    std::uint64_t t = std::stoull(block[0]);
    std::string at = std::to_string(t) + " ";
    EXPECT_THAT(block,
                ElementsAre(at + "D0", at + "30", at + "36", at + "D2", at + "D0", at + "30", at + "32", at + "30",
                            at + "31", at + "32", at + "33", at + "30", at + "30", at + Hex("C0FFEE"), at + "D2"));
    EXPECT_EQ(writes[292 * 15], std::to_string(t + 2) + " D0");  // 2 ms after the closing 0xD2
}

TEST_F(PromTest, EmptyImageSendsOneClosedHeaderAndC0) {
    WriteFile("genprom.hex", "");
    EXPECT_EQ(ProgramProm(), 0);
    auto expected = Header(0);
    expected.insert(expected.end(), {"D2", "C0"});
    EXPECT_THAT(Bytes(), ElementsAreArray(expected));
    EXPECT_EQ(Output(),
              "1 FTDI device(s) found\nQVM7316 found\nProgramming PROM\nPromSize = 0\n\n"
              "Finished....0 Pages Programmed\n");
    EXPECT_EQ(g_stepCounter, 1);
    EXPECT_EQ(Device().prom.highestPageProgrammed, -1);  // the data-less program does nothing
    EXPECT_FALSE(Device().open);
}

TEST_F(PromTest, EveryDigitOfALineIsSentWhateverItsLineEnd) {
    std::string longLine = std::string(598, 'C') + "12";
    WriteFile("genprom.hex", longLine + "\r\n\n\r\n" + std::string("\0AB\r\n", 5) + "ABCDE\n12345");
    EXPECT_EQ(ProgramProm(), 0);
    // A line of 600 characters in pieces of 599 and 1; empty pages for "\n",
    // "\r\n" and the line that starts with a 0 byte; a last line without a
    // line end keeps all its digits.
    EXPECT_THAT(PageData(),
                ElementsAre(Hex(longLine.substr(0, 599)), Hex("2"), "", "", "", Hex("ABCDE"), Hex("12345")));
    EXPECT_THAT(Output(), HasSubstr("Finished....7 Pages Programmed\n"));
    EXPECT_EQ(g_stepCounter, 8);  // an image under 7680 bytes ticks at every page
    EXPECT_EQ(Device().prom.highestPageProgrammed, 6);

    // An image with LF, CR or no line end at its end programs the PROM as
    // its CR LF twin does.
    std::vector<std::vector<std::uint8_t>> proms;
    for (const std::string end : {"\r\n", "\n", "\r"}) {
        std::string text = "0102" + end + end + "A1B2C3";
        for (int i = 0; i < 3; ++i) text += end + std::string(512, "0123456789ABCDEF"[i]);
        WriteFile("genprom.hex", end == "\r\n" ? text + end : text);
        Start();
        Device().prom.unprogrammedByte = 0xFF;  // as after an erase
        ASSERT_EQ(ProgramProm(), 0) << Hex(end);
        proms.push_back(DumpedProm());
    }
    ASSERT_EQ(proms[0].size(), 6u * 256);
    EXPECT_EQ(proms[0][1], 0x02);
    EXPECT_EQ(proms[0][512 + 2], 0xC3);
    EXPECT_EQ(proms[0][5 * 256 + 255], 0x22);
    EXPECT_EQ(proms[1], proms[0]);
    EXPECT_EQ(proms[2], proms[0]);
}

TEST_F(PromTest, PageTextGoesOutInUpperCase) {
    WriteFile("genprom.hex", "c0ffee0a\r\nABcdEf09\r\n");
    Device().prom.unprogrammedByte = 0xFF;
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_THAT(PageData(), ElementsAre(Hex("C0FFEE0A"), Hex("ABCDEF09")));
    auto prom = DumpedProm();
    ASSERT_GE(prom.size(), 260u);
    EXPECT_EQ(prom[3], 0x0A);
    EXPECT_EQ(prom[256 + 2], 0xEF);
}

TEST_F(PromTest, QueueOf128DoesNotWaitAnd129Does) {
    // At 1 byte/ms a page of 116 characters leaves 13 + 116 + 1 - 2 = 128
    // queued when the next page (here the closing header) waits.
    Start("tx_drain = 1");
    WriteFile("genprom.hex", Lines(1, 116));
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_THAT(Output(), ::testing::Not(HasSubstr("TxBytes")));

    Start("tx_drain = 1");
    WriteFile("genprom.hex", Lines(1, 117));
    EXPECT_EQ(ProgramProm(), 0);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("PromSize = 119\n Programming PROM Page No: 0\rTxBytes: 129\n"));
    EXPECT_EQ(out.find("TxBytes"), out.rfind("TxBytes"));
}

TEST_F(PromTest, ImageLargerThanThePromStopsBeforeItWraps) {
    g_promPageLimit = 3;
    WriteFile("genprom.hex", Lines(3, 4));
    EXPECT_EQ(ProgramProm(), 0);  // exactly as many pages as the PROM holds
    EXPECT_THAT(Output(), HasSubstr("Finished....3 Pages Programmed\n"));

    Start();
    Device().prom.unprogrammedByte = 0xFF;
    WriteFile("genprom.hex", Lines(5, 4));
    std::size_t files = OpenFiles();
    EXPECT_EQ(ProgramProm(), PROM_HEX_OPEN_FAILURE);
    EXPECT_EQ(OpenFiles(), files);
    EXPECT_THAT(Output(), HasSubstr("Page No: 0\r\ngenprom.hex is larger than the PROM\n"));
    auto bytes = Bytes();
    auto expected = Header(3);
    expected.push_back("D2");
    EXPECT_THAT(std::vector<std::string>(bytes.end() - 14, bytes.end()), ElementsAreArray(expected));
    EXPECT_EQ(Device().prom.highestPageProgrammed, 2);
    EXPECT_FALSE(Device().open);
}

TEST_F(PromTest, PromLimitIsTheSixteenBitPageRange) {
    // 65,537 short lines: the last would go to page 0 again.
    std::string text;
    for (int i = 0; i < 65537; ++i) text += i == 0 ? "11\r\n" : "00\r\n";
    WriteFile("genprom.hex", text);
    Device().prom.unprogrammedByte = 0xFF;
    SelectD2xx(sim::EmulatorD2xx());  // a million writes: no trace
    EXPECT_EQ(ProgramProm(), PROM_HEX_OPEN_FAILURE);
    EXPECT_EQ(Device().prom.pagePrograms, 65536u);
    EXPECT_EQ(Device().prom.pages.at(0)[0], 0x11);
    EXPECT_EQ(Device().prom.highestPageProgrammed, 65535);
}

TEST_F(PromTest, ProgramFailureRowsCloseWhatTheStageOpened) {
    Start("fail = FT_Purge 1");
    EXPECT_EQ(ProgramProm(), USB_PURGE_FAILURE);
    EXPECT_FALSE(Device().open);

    Start("devices = other");
    EXPECT_EQ(ProgramProm(), USB_OPEN_FAILURE);

    Start();
    EXPECT_EQ(ProgramProm(), PROM_HEX_OPEN_FAILURE);  // no genprom.hex
    EXPECT_THAT(Output(), HasSubstr("Programming PROM\nfailed to open genprom.hex\n"));
    EXPECT_FALSE(Device().open);

    WriteFile("genprom.hex", Lines(3, 512));
    std::size_t files = OpenFiles();
    Start("fail = FT_Write 14");  // the first page's data
    EXPECT_EQ(ProgramProm(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("PromSize = 1542\nUSB Write Failed\n"));
    EXPECT_EQ(Writes().size(), 14u);  // nothing after the failed write
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(OpenFiles(), files);

    Start("fail = FT_Write 1");  // a header byte: printed, the stage goes on and fails at its end
    EXPECT_EQ(ProgramProm(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("PromSize = 1542\nUSB Write Failed\n"));

    Start("fail = FT_Close 1");
    EXPECT_EQ(ProgramProm(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Finished....3 Pages Programmed\nClose Failed\n"));
}

TEST_F(PromTest, TransmitQueueWaitIsBounded) {
    WriteFile("genprom.hex", Lines(3, 512));
    std::size_t files = OpenFiles();
    Start("fail = FT_GetStatus 1");
    EXPECT_EQ(ProgramProm(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr("PromSize = 1542\nTimed out\n"));
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(OpenFiles(), files);

    // A link that takes nothing: page 1 waits 5000 ms, then the stage gives up.
    Start("tx_drain = 0");
    EXPECT_EQ(ProgramProm(), USB_TIMED_OUT);
    std::string out = Output();
    std::string polls;  // one line per 1 ms poll
    for (int i = 0; i < 5000; ++i) polls += "TxBytes: 526\n";
    EXPECT_THAT(out, EndsWith(" Programming PROM Page No: 0\r" + polls + "Timed out\n"));
    EXPECT_FALSE(Device().open);

    // A failed query right after a progress line: "Timed out" on a line of its own.
    Start("fail = FT_GetStatus 2");
    EXPECT_EQ(ProgramProm(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), EndsWith(" Programming PROM Page No: 0\r\nTimed out\n"));
}

TEST_F(PromTest, TickIntervalFollowsTheImageSize) {
    WriteFile("genprom.hex", Lines(150, 512));  // 77,100 bytes: a tick every 10 pages
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_EQ(g_stepCounter, 16);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("PromSize = 77100\n"));
    EXPECT_THAT(out, HasSubstr(" Programming PROM Page No: 140\r"));
    EXPECT_THAT(out, EndsWith("\nFinished....150 Pages Programmed\n"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 15);
}

TEST_F(PromTest, WholeProgrammingLeavesThePromHoldingTheSampleImage) {
    std::ifstream sample(std::string(QVM7316_SOURCE_DIR) + "/samples/genprom.hex", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(sample)), std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 0u);
    WriteFile("genprom.hex", image);
    EXPECT_EQ(ErasePromChip(), 0);
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_EQ(DumpedProm(), DecodeLines(image));
    EXPECT_THAT(Output(), HasSubstr("Finished....48 Pages Programmed\n"));
    EXPECT_EQ(g_stepCounter, 5 + 16 + 1);
    EXPECT_EQ(Device().prom.ignoredInstructions, 0u);

    // Without the erase the old content shows through.
    Start();
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_EQ(DumpedProm(), std::vector<std::uint8_t>(image.size() / 514 * 256, 0x00));

    // An erase still running when the pages come: they are all ignored.
    Start("prom_erase_ms = 200000");
    EXPECT_EQ(ErasePromChip(), 0);
    EXPECT_EQ(ProgramProm(), 0);
    EXPECT_TRUE(DumpedProm().empty());
    EXPECT_EQ(Device().prom.ignoredInstructions, 98u);  // both groups of each page header
}

// The PROM model, driven with raw instruction groups.
class PromModelTest : public PromTest {
  protected:
    void Group(const std::string& text) {
        SendCommandByte(0xD0);
        std::string copy = text;
        FT_Write(g_deviceHandle, copy.data(), static_cast<DWORD>(copy.size()), &UsbBytesWritten);
        SendCommandByte(0xD2);
    }
    const std::array<std::uint8_t, 256>& Page(std::uint32_t n) { return Device().prom.pages.at(n); }
};

TEST_F(PromModelTest, InstructionsNeedWriteEnableProgramsWrapAndOnlyClearBits) {
    Start("prom_erase_ms = 500");
    ASSERT_EQ(OpenDevice(), 0);
    auto& prom = Device().prom;
    Group("02000000AA");
    Group("C7");
    EXPECT_EQ(prom.ignoredInstructions, 2u);  // no write enable
    Group("06");
    Group("02000000AA");
    EXPECT_EQ(Page(0)[0], 0x00);  // the old content 0x00 lets no bit through

    Group("06");
    Group("C7");
    Group("06");
    Group("02000000AA");
    EXPECT_EQ(prom.ignoredInstructions, 4u);  // both while the erase runs
    SleepMs(500);
    std::string data;
    for (int i = 0; i < 20; ++i) data += Hex(std::string(1, static_cast<char>(i)));
    Group("06");
    Group("020123F8" + data);  // 20 bytes from offset 0xF8: 8 at the end, 12 at the start
    EXPECT_EQ(Page(0x123)[0xFF], 7);
    EXPECT_EQ(Page(0x123)[0x00], 8);
    EXPECT_EQ(Page(0x123)[0x0C], 0xFF);
    Group("06");
    Group("020123000FF0");  // 0x08 & 0x0F, 0x09 & 0xF0
    EXPECT_EQ(Page(0x123)[0], 0x08);
    EXPECT_EQ(Page(0x123)[1], 0x00);
    Group("020123000F");  // write enable was used up
    EXPECT_EQ(prom.ignoredInstructions, 5u);
    EXPECT_EQ(prom.highestPageProgrammed, 0x123);

    Group("0G");
    Group("06");
    Group("0201");  // no full address
    EXPECT_EQ(prom.malformedInstructions, 2u);
}
