// A write that the device did not take whole fails its stage. Every stage,
// with a command byte or hex digit lost on the way, reported failed, or
// reported short, carries out the rest of its sequence as before (the same
// bytes at the same times) and ends with USB_WRITE_FAILURE, unless another
// failure ends it first; a failed or short bulk write ends it at once.
#include <gmock/gmock.h>

#include <algorithm>

#include "device/link.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/run_update.h"
#include "update/stages.h"

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// How the n-th write of a stage goes wrong.
enum class Spoil {
    Lost,      // the driver fails it and the device gets nothing (scenario `fail`)
    Reported,  // the device gets the bytes, the driver reports a failure
    Short,     // the device gets the bytes, the driver reports one byte fewer
};

// A driver around the emulator that spoils the report of one write.
const D2xxOps* g_emulator = nullptr;
int g_writesSeen = 0;
int g_writeToSpoil = 0;
Spoil g_spoil = Spoil::Reported;
D2xxOps g_spoiling;

FT_STATUS WINAPI SpoilingWrite(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written) {
    FT_STATUS status = g_emulator->Write(h, buffer, count, written);
    if (++g_writesSeen != g_writeToSpoil) return status;
    if (g_spoil == Spoil::Short) {
        *written = count - 1;
        return FT_OK;
    }
    return FT_IO_ERROR;
}

}  // namespace

class WriteFailureTest : public DeviceTest {
  protected:
    // The images every stage reads: two records, two pages, 100 blocks.
    void WriteImages() {
        WriteFile("gn.hex", ":100000000102030405060708090A0B0C0D0E0F1068\r\n:00000001FF\r\n");
        WriteFile("genprom.hex", "0011\r\n2233\r\n");
        WriteFile("GEN.dat", std::string(3200, '\x5A'));
    }

    // Starts the device with the n-th write of what follows spoiled.
    void StartSpoiled(Spoil spoil, int n) {
        if (spoil == Spoil::Lost) {
            Start("fail = FT_Write " + std::to_string(n));
            return;
        }
        Start();
        g_emulator = sim::EmulatorD2xx();
        g_spoiling = *g_emulator;
        g_spoiling.Write = SpoilingWrite;
        g_writesSeen = 0;
        g_writeToSpoil = n;
        g_spoil = spoil;
        UseBackend(&g_spoiling);
    }

    // Every write as "<ms from the first call> <bytes>".
    std::vector<std::string> Wire() {
        auto trace = Trace();
        std::vector<std::string> wire;
        for (const auto& t : trace)
            if (t.call == "FT_Write")
                wire.push_back(std::to_string(t.ms - trace.front().ms) + " " + t.rest.substr(0, t.rest.find(' ')));
        return wire;
    }
};

// The stage of the sequence with that name.
const Stage& StageNamed(const std::string& name) {
    return *std::find_if(kStages, kStages + kStageCount, [&](const Stage& s) { return name == s.name; });
}

TEST_F(WriteFailureTest, OneByteThatDidNotGetThroughFailsTheStageAtItsEnd) {
    struct Row {
        const char* stage;
        Spoil spoil;
        int write;  // from 1, within the stage
        int status;
    } rows[] = {
        {"ConnectToProcessor", Spoil::Reported, 1, USB_WRITE_FAILURE},
        {"ConnectToProcessor", Spoil::Short, 5, USB_WRITE_FAILURE},   // the sync byte
        {"ConnectToProcessor", Spoil::Lost, 5, BAD_HANDSHAKE},        // no reply: that failure comes first
        {"ProgramProcessor", Spoil::Reported, 1, USB_WRITE_FAILURE},  // 0xE0
        {"ProgramProcessor", Spoil::Lost, 5, USB_WRITE_FAILURE},      // the last 0xC0
        {"ResetProcessor", Spoil::Lost, 1, USB_WRITE_FAILURE},        // 0xE4
        {"ResetProcessor", Spoil::Short, 3, USB_WRITE_FAILURE},       // 0xF5
        {"ResetProcessor", Spoil::Lost, 4, USB_WRITE_FAILURE},
        {"ErasePromChip", Spoil::Lost, 1, USB_WRITE_FAILURE},    // the lone 0xD2
        {"ErasePromChip", Spoil::Lost, 7, USB_WRITE_FAILURE},    // the digit C of the chip erase
        {"ErasePromChip", Spoil::Short, 10, USB_WRITE_FAILURE},  // 0xC0
        {"ProgramProm", Spoil::Lost, 1, USB_WRITE_FAILURE},      // page 0's first 0xD0
        {"ProgramProm", Spoil::Lost, 10, USB_WRITE_FAILURE},     // a digit of page 0's address
        {"ProgramProm", Spoil::Short, 15, USB_WRITE_FAILURE},    // page 0's closing 0xD2
        {"ProgramProm", Spoil::Lost, 45, USB_WRITE_FAILURE},     // the last 0xC0
        {"CheckCommunication", Spoil::Reported, 1, USB_WRITE_FAILURE},
        {"CheckCommunication", Spoil::Short, 2, USB_WRITE_FAILURE},
        {"CheckCommunication", Spoil::Lost, 1, COM_CHECK_FAILURE},  // no reply: that failure comes first
        {"EraseGateArray", Spoil::Reported, 2, USB_WRITE_FAILURE},  // 0xC0 after 0xF1
        {"EraseGateArray", Spoil::Lost, 7, USB_WRITE_FAILURE},      // 0xE4 of the reset
        {"ProgramGateArray", Spoil::Reported, 1, USB_WRITE_FAILURE},
        {"ProgramGateArray", Spoil::Short, 204, USB_WRITE_FAILURE},  // 0xC0 of the reset
    };
    for (const Row& row : rows) {
        const Stage& stage = StageNamed(row.stage);
        std::string what = std::string(row.stage) + " write " + std::to_string(row.write);
        WriteImages();
        Start();
        g_stepCounter = 0;
        ASSERT_EQ(stage.run(), 0) << what;
        auto goodWire = Wire();
        std::string goodLog = Output();
        int ticks = g_stepCounter;

        StartSpoiled(row.spoil, row.write);
        g_stepCounter = 0;
        EXPECT_EQ(stage.run(), row.status) << what;
        std::string log = Output();
        EXPECT_THAT(log, HasSubstr("USB Write Failed\n")) << what;
        EXPECT_FALSE(Device().open) << what;
        if (row.status != USB_WRITE_FAILURE) continue;
        // Everything else as in the good run: the bytes and their times,
        // and the log but for the failed write's line; no tick at the end.
        EXPECT_THAT(Wire(), ElementsAreArray(goodWire)) << what;
        std::string expectedLog = log;
        expectedLog.erase(expectedLog.find("USB Write Failed\n"), 17);
        EXPECT_EQ(expectedLog, goodLog) << what;
        EXPECT_EQ(g_stepCounter, stage.run == ProgramGateArray ? ticks : ticks - 1) << what;  // it ticks at no end
    }
}

TEST_F(WriteFailureTest, BulkWriteFailedOrShortEndsTheStageAtOnce) {
    struct Row {
        const char* stage;
        Spoil spoil;
        int write;
    } rows[] = {
        {"ProgramProcessor", Spoil::Short, 2},  // the first line
        {"ProgramProcessor", Spoil::Short, 4},  // the boot status record
        {"ProgramProm", Spoil::Short, 14},      // page 0's text
        {"ProgramProm", Spoil::Reported, 29},   // page 1's text
    };
    for (const Row& row : rows) {
        const Stage& stage = StageNamed(row.stage);
        std::string what = std::string(row.stage) + " write " + std::to_string(row.write);
        WriteImages();
        StartSpoiled(row.spoil, row.write);
        EXPECT_EQ(stage.run(), USB_WRITE_FAILURE) << what;
        EXPECT_THAT(Output(), ::testing::EndsWith("USB Write Failed\n")) << what;
        EXPECT_EQ(Wire().size(), static_cast<std::size_t>(row.write)) << what;  // nothing after it
        EXPECT_FALSE(Device().open) << what;
    }
}

TEST_F(WriteFailureTest, GateArrayAnswersTakenShortFailBothStages) {
    WriteImages();
    Start("ga_short_write = 2");
    EXPECT_EQ(EraseGateArray(), USB_WRITE_FAILURE);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("MaxSize = 3200\nTimed out\nErasing GateArray\n"));  // no line of its own
    EXPECT_THAT(out, HasSubstr("Processor reset.....Finished\n"));
    EXPECT_EQ(Device().gateArray.erases, 1u);

    Start("ga_short_write = 150");
    EXPECT_EQ(ProgramGateArray(), USB_WRITE_FAILURE);
    out = Output();
    EXPECT_THAT(out,
                HasSubstr(" Programming:  99 %\r" + std::string(39, ' ') + "\rwrong size of UsbBytesWritten to USB\n"));
    EXPECT_THAT(out, HasSubstr("Finished Programming\nReseting Processor\nProcessor reset.....done\n"));
    EXPECT_TRUE(Device().gateArray.verifyRan);
}

TEST_F(WriteFailureTest, AWholeRunThatLostAByteSaysWhereAndNeverShowsSuccess) {
    CopySamples();
    Start("ga_short_write = 5");  // in the erase only four blocks are asked for
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), USB_WRITE_FAILURE);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("Processor reset.....done\nfailed in ProgramGateArray: USB_WRITE_FAILURE (27)\n" +
                               std::string(kRunAgain) + "\n"));
    EXPECT_THAT(out, Not(HasSubstr(kRunSucceeded)));
    EXPECT_EQ(DisplayEvents().back(), "ended 27 Programming failed");
    for (const auto& event : DisplayEvents()) EXPECT_THAT(event, Not(HasSubstr("DONE!")));
    auto shown = ShownValues();
    EXPECT_LE(*std::max_element(shown.begin(), shown.end()), 99);
}
