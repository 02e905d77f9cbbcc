// Processor programming and reset against the emulated loader: the wire
// bytes and pauses, the log, every row of both failure tables, the mended
// faults, and the sample firmware ending up in the processor's memory.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "hex_gen.h"
#include "image/record_split.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string Data(unsigned first, unsigned count) {
    std::string data;
    for (unsigned i = 0; i < count; ++i) data += static_cast<char>(first + i);
    return data;
}

// A gn.hex line: a record of count data bytes and CR LF.
std::string Line(std::uint32_t address, unsigned count) { return HexRecord(address, 0, Data(address, count)) + "\r\n"; }

// Files and other descriptors the process holds open.
std::ptrdiff_t OpenFileCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

std::string ReadBinary(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What the processor's 64 KiB should hold after loading gen.hex, as srecord
// reads the file.
std::string ExpectedMemory(const std::filesystem::path& dir) {
    std::string command = "cd '" + dir.string() +
                          "' && srec_cat gen.hex -intel -fill 0xFF 0 0x10000 -o expected.bin -binary >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << "srec_cat (Debian package srecord) is needed";
    return ReadBinary(dir / "expected.bin");
}

const std::string kHeader = "1 FTDI device(s) found\nQVM7316 found\n";
const std::string kBanner =
    "PROGRAMMING PROCESSOR & Reading back....\nDO NOT SWITCH OFF BEFORE PROGRAMMING FINISHED\n"
    "OR DAMAGE TO PROCESSOR WILL RESULT\n....Takes several minutes!....\n";

class ProcessorTest : public DeviceTest {};

}  // namespace

TEST_F(ProcessorTest, SampleFirmwareEndsUpInTheProcessorMemory) {
    std::filesystem::copy_file(std::filesystem::path(QVM7316_SOURCE_DIR) / "samples" / "gen.hex", Dir() / "gen.hex");
    EXPECT_EQ(ConvertHexFile(), 0);
    EXPECT_EQ(ProgramProcessor(), 0);
    EXPECT_EQ(ResetProcessor(), 0);
    const auto& loader = Device().loader;
    EXPECT_EQ(loader.recordsRejected, 0u);
    EXPECT_EQ(loader.bsbRecords, 1u);
    EXPECT_EQ(Device().resets, 1u);
    EXPECT_EQ(Device().factoryResets, 1u);
    std::string error;
    ASSERT_TRUE(sim::DumpDevice(Device(), "dump", error)) << error;
    EXPECT_TRUE(ReadBinary(Dir() / "dump" / "processor.bin") == ExpectedMemory(Dir()));
}

TEST_F(ProcessorTest, ConsoleRunProgramsTheSampleAndDumpsIt) {
    CopySamples();
    std::string command = std::string(QVM7316_CONSOLE_EXE) + " -C '" + Dir().string() +
                          "' --simulate --yes --dump d >console.txt 2>&1 </dev/null";
    std::system(command.c_str());
    std::string log = ReadFile("console.txt");
    EXPECT_THAT(log, HasSubstr("gen.hex to gn.hex conversion done\n"));
    EXPECT_THAT(log, HasSubstr("\nDoing BSB.....\nBSB string sent\nCPU programming done\n"));
    EXPECT_THAT(log, HasSubstr("Factory Reset Done.....Finished\n"));
    EXPECT_TRUE(ReadBinary(Dir() / "d" / "processor.bin") == ExpectedMemory(Dir()));
}

TEST_F(ProcessorTest, LinesGoOutOneWriteEachAndTheBsbRecordLast) {
    WriteFile("gn.hex", Line(0x0000, 16) + Line(0x0010, 16));
    EXPECT_EQ(ProgramProcessor(), 0);
    // Open at 200, the chip's latency timer set to 2 ms; 100 ms; per line:
    // the write, polling until the echo comes at the chip's next beat (1 ms
    // for the first line, written on a beat; 2 ms for the second, written
    // off it), a read of 50 bytes that waits out its 84 ms (70 ms, and the
    // 14 ms by which the 2 ms timer shows the echo sooner than the default
    // 16 ms would); 100 ms; the record; 100 ms; a read of 60 that waits out
    // its 1000 ms; 0xC0.
    EXPECT_THAT(Writes(), ElementsAre("200 E0", "300 " + Hex(HexRecord(0x0000, 0, Data(0, 16))),
                                      "385 " + Hex(HexRecord(0x0010, 0, Data(0x10, 16))),
                                      "571 " + Hex(":03000003060000F4"), "1671 C0"));
    std::vector<std::string> reads, timeouts;
    for (const auto& t : Trace()) {
        if (t.call == "FT_Read") reads.push_back(t.rest.substr(0, t.rest.find(' ')));
        if (t.call == "FT_SetTimeouts") timeouts.push_back(t.rest);
    }
    EXPECT_THAT(reads, ElementsAre("50", "50", "60"));
    EXPECT_THAT(timeouts, ElementsAre("84 0 = 0", "84 0 = 0", "1000 0 = 0"));
    EXPECT_EQ(Trace().back().call, "FT_Close");
    EXPECT_EQ(Output(),
              kHeader + "GnSize = 90\n" + kBanner + "\nDoing BSB.....\nBSB string sent\nCPU programming done\n");
    // 90 bytes give a tick interval of 0 lines: a tick after every line.
    EXPECT_EQ(g_stepCounter, 3);
    EXPECT_EQ(Device().loader.memory[0x1F], 0x1F);
}

TEST_F(ProcessorTest, TicksEveryIntervalAndCountsLinesByTens) {
    std::string gn;
    for (unsigned i = 0; i < 60; ++i) gn += Line(i * 16, 16);  // 2700 bytes: a tick every 2 lines
    WriteFile("gn.hex", gn);
    EXPECT_EQ(ProgramProcessor(), 0);
    EXPECT_EQ(g_stepCounter, 31);
    EXPECT_THAT(Output(), HasSubstr("....\n line count:   10\r line count:   20\r line count:   30\r line count:   40\r"
                                    " line count:   50\r line count:   60\r\nDoing BSB.....\n"));
}

TEST_F(ProcessorTest, EmptyFileSendsOnlyTheBsbRecord) {
    WriteFile("gn.hex", "");
    EXPECT_EQ(ProgramProcessor(), 0);
    EXPECT_THAT(Writes(), ElementsAre("200 E0", "400 " + Hex(":03000003060000F4"), "1500 C0"));
    EXPECT_THAT(Output(), HasSubstr("GnSize = 0\n"));
    EXPECT_EQ(g_stepCounter, 1);
}

TEST_F(ProcessorTest, RejectedReplyWindsDownAndFails) {
    Start("echo_status = X 2");
    const std::string first = Line(0x0000, 16), second = Line(0x0010, 1);
    WriteFile("gn.hex", first + second + Line(0x0020, 16));
    auto files = OpenFileCount();
    EXPECT_EQ(ProgramProcessor(), USB_READ_FAILURE);
    EXPECT_EQ(OpenFileCount(), files);
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 5u);  // the third line is never sent
    EXPECT_THAT(writes[3], HasSubstr(Hex(":03000003060000F4")));
    EXPECT_THAT(writes[4], HasSubstr(" C0"));
    EXPECT_FALSE(Device().open);
    // Only this reply is shown, not the longer one before it.
    std::string payload = second.substr(0, second.size() - 2);
    EXPECT_THAT(Output(), HasSubstr("\nIncorrect return!\nOriginal Data: " + second + "\nReturned Data: " + payload +
                                    "X\r\n\n\nDoing BSB.....\nBSB string sent\n"));
    EXPECT_THAT(Output(), Not(HasSubstr("CPU programming done")));
    EXPECT_EQ(Device().loader.recordsRejected, 1u);
}

TEST_F(ProcessorTest, ABootStatusRecordTheLoaderDidNotTakeFailsTheStage) {
    // Refused, or not answered at all: either way the processor may not
    // start the new firmware. The wind-down is the same as after a line.
    const std::string bsb = ":03000003060000F4";
    for (const char* scenario : {"echo_status = X 3", "echo = none 3"}) {
        Start(scenario);
        WriteFile("gn.hex", Line(0x0000, 16) + Line(0x0010, 16));
        EXPECT_EQ(ProgramProcessor(), USB_READ_FAILURE) << scenario;
        EXPECT_THAT(Writes(), ElementsAre(HasSubstr(" E0"), _, _, HasSubstr(Hex(bsb)), HasSubstr(" C0"))) << scenario;
        std::string reply = std::string(scenario).find("none") == std::string::npos ? bsb + "X\r\n" : "";
        std::string out = Output();
        EXPECT_THAT(out, HasSubstr("BSB string sent\nIncorrect return!\nOriginal Data: " + bsb +
                                   "\nReturned Data: " + reply + "\n"))
            << scenario;
        EXPECT_THAT(out, Not(HasSubstr("CPU programming done"))) << scenario;
        EXPECT_FALSE(Device().open) << scenario;
    }
}

TEST_F(ProcessorTest, RepliesThatCannotBeJudgedAreIncorrect) {
    // A record of 20 bytes is echoed in 54 bytes; the read takes 50, so the
    // checked byte is an echoed one.
    WriteFile("gn.hex", Line(0x0000, 20));
    EXPECT_EQ(ProgramProcessor(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Incorrect return!"));

    // Two characters outside a record come back as two bytes: nothing to check.
    Start();
    WriteFile("gn.hex", "ab\r\n");
    EXPECT_EQ(ProgramProcessor(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Incorrect return!\nOriginal Data: ab\r\n\nReturned Data: ab\n"));
}

TEST_F(ProcessorTest, LinesWithoutPayloadAreSkipped) {
    WriteFile("gn.hex", std::string(1, '\n') + Line(0x0000, 4) + "\r\n" + Line(0x0004, 4) + "x");
    EXPECT_EQ(ProgramProcessor(), 0);
    EXPECT_EQ(Writes().size(), 5u);  // 0xE0, two records, BSB, 0xC0
    EXPECT_EQ(Device().loader.recordsRejected, 0u);
    EXPECT_EQ(Device().loader.memory[7], 7);
}

TEST_F(ProcessorTest, EchoThatNeverCompletesTimesOutAfterASecond) {
    for (const char* scenario : {"echo = none 2", "echo_short = 1"}) {
        Start(scenario);
        WriteFile("gn.hex", Line(0x0000, 16) + Line(0x0010, 16));
        auto files = OpenFileCount();
        EXPECT_EQ(ProgramProcessor(), USB_TIMED_OUT) << scenario;
        EXPECT_EQ(OpenFileCount(), files);
        EXPECT_FALSE(Device().open);
        EXPECT_THAT(Output(), HasSubstr("\nTimed out\n"));
        auto trace = Trace();
        std::uint64_t lastWrite = 0, lastPoll = 0;
        for (const auto& t : trace) {
            if (t.call == "FT_Write") lastWrite = t.ms;
            if (t.call == "FT_GetQueueStatus") lastPoll = t.ms;
        }
        EXPECT_EQ(lastPoll - lastWrite, 999u) << scenario;  // polled each ms for 1000 ms
        EXPECT_EQ(trace.back().call, "FT_Close");
    }
}

TEST_F(ProcessorTest, EveryFailureReturnsItsCodeAndReleasesWhatWasOpened) {
    struct Row {
        const char* scenario;
        int status;
        const char* printed;
        bool closeFails;
    } rows[] = {
        {"devices =", USB_OPEN_FAILURE, "no QVM7316 found - exiting\n", false},
        {"fail = FT_Purge 1", USB_PURGE_FAILURE, "SetPurge Failed\n", false},
        {"fail = FT_Write 2", USB_WRITE_FAILURE, "....\nUSB Write Failed\n", false},  // the first line
        {"fail = FT_SetTimeouts 1", USB_TIMEOUT_FAILURE, "SetTimeout Failed\n", false},
        {"fail = FT_SetTimeouts 1\nfail = FT_Close 1", USB_TIMEOUT_FAILURE, "SetTimeout Failed\nClose Failed\n", true},
        {"fail = FT_Read 1", USB_READ_FAILURE, "....\n\nUSB Read Failed\n", false},
        {"fail = FT_Write 4", USB_WRITE_FAILURE, "Doing BSB.....\nUSB Write Failed\n", false},  // the BSB record
        {"fail = FT_SetTimeouts 3", USB_TIMEOUT_FAILURE, "Doing BSB.....\nSetTimeout Failed\n", false},
        {"fail = FT_Read 3", USB_READ_FAILURE, "BSB Read Failed\n", false},
        {"fail = FT_Close 1", USB_CLOSE_FAILURE, "BSB string sent\nClose Failed\n", true},
    };
    for (const Row& row : rows) {
        Start(row.scenario);
        WriteFile("gn.hex", Line(0x0000, 16) + Line(0x0010, 16));
        auto files = OpenFileCount();
        EXPECT_EQ(ProgramProcessor(), row.status) << row.scenario;
        EXPECT_EQ(OpenFileCount(), files) << row.scenario;
        EXPECT_NE(Device().open, !row.closeFails) << row.scenario;
        std::string out = Output();
        EXPECT_THAT(out, HasSubstr(row.printed)) << row.scenario;
        if (row.status != 0) {
            EXPECT_THAT(out, Not(HasSubstr("CPU programming done"))) << row.scenario;
        }
    }

    Start();
    std::filesystem::remove(Dir() / "gn.hex");
    EXPECT_EQ(ProgramProcessor(), GN_HEX_OPEN_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("QVM7316 found\nfailed to open gn.hex\n"));
    EXPECT_THAT(Writes(), ElementsAre(::testing::EndsWith(" E0")));
    EXPECT_FALSE(Device().open);
}

TEST_F(ProcessorTest, ResetThenFactoryResetInTwoConnections) {
    EXPECT_EQ(ResetProcessor(), 0);
    EXPECT_THAT(Writes(), ElementsAre("200 E4", "700 C0", "7900 F5", "8400 C0"));
    std::vector<std::string> connections;
    for (const auto& t : Trace())
        if (t.call == "FT_OpenEx" || t.call == "FT_Close") connections.push_back(std::to_string(t.ms) + " " + t.call);
    EXPECT_THAT(connections, ElementsAre("200 FT_OpenEx", "1700 FT_Close", "4900 FT_OpenEx", "8400 FT_Close"));
    EXPECT_EQ(Output(), kHeader + "Reseting Processor.....Please Wait\nProcessor Reset.....\n" + kHeader +
                            "Doing Factory Reset.....Please Wait\nFactory Reset Done.....Finished\n");
    EXPECT_EQ(Device().resets, 1u);
    EXPECT_EQ(Device().factoryResets, 1u);
    EXPECT_EQ(g_stepCounter, 1);
}

TEST_F(ProcessorTest, ResetFailuresStopWhereTheyHappen) {
    struct Row {
        const char* scenario;
        int status;
        std::uint32_t resets, factoryResets;
        bool open;
    } rows[] = {
        {"devices =", USB_OPEN_FAILURE, 0, 0, false},          {"fail = FT_OpenEx 2", USB_OPEN_FAILURE, 1, 0, false},
        {"fail = FT_Purge 1", USB_PURGE_FAILURE, 0, 0, false}, {"fail = FT_Purge 2", USB_PURGE_FAILURE, 1, 0, false},
        {"fail = FT_Close 1", USB_CLOSE_FAILURE, 1, 0, true},  {"fail = FT_Close 2", USB_CLOSE_FAILURE, 1, 1, true},
        {"fail = FT_Write 1", USB_WRITE_FAILURE, 0, 1, false},  // the stage goes on, and fails at its end
        {"fail = FT_Write 2", USB_WRITE_FAILURE, 0, 1, false},  // the first connection's 0xC0
    };
    for (const Row& row : rows) {
        Start(row.scenario);
        EXPECT_EQ(ResetProcessor(), row.status) << row.scenario;
        EXPECT_EQ(Device().resets, row.resets) << row.scenario;
        EXPECT_EQ(Device().factoryResets, row.factoryResets) << row.scenario;
        EXPECT_EQ(Device().open, row.open) << row.scenario;
    }
    Start("fail = FT_Write 1");
    Output();
    ResetProcessor();
    EXPECT_THAT(Output(), HasSubstr("Please Wait\nUSB Write Failed\nProcessor Reset.....\n"));
}
