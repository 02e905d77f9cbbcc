// The stage sequence and the worker, and the console program around them.
#include <gmock/gmock.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/run_update.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class SequenceTest : public DeviceTest {};

TEST_F(SequenceTest, FirstStageFailureStopsTheRunWithRedBarAndFailureBox) {
    CopySamples();
    Start("devices =");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), USB_OPEN_FAILURE);
    // Nothing reached the device: the box gives the reason on a second line.
    EXPECT_THAT(DisplayEvents(), ElementsAre("started", "progress 0  QVM7316 - 0%",
                                             "ended 28 Programming failed | no QVM7316 found - exiting"));
    EXPECT_EQ(Output(),
              "0 FTDI device(s) found\nno QVM7316 found - exiting\n"
              "failed in ConnectToProcessor: USB_OPEN_FAILURE (28)\n"
              "Nothing was sent to the QVM7316: the device was not changed.\n");
}

TEST_F(SequenceTest, StageTableHasTheFixedOrderAndPauses) {
    std::vector<std::string> table;
    for (int i = 0; i < kStageCount; ++i)
        table.push_back(std::to_string(kStages[i].pauseBeforeMs) + " " + kStages[i].name);
    const std::vector<std::string> full = {"0 ConnectToProcessor",    "0 ConvertHexFile",    "1000 ProgramProcessor",
                                           "0 ResetProcessor",        "4000 ErasePromChip",  "4000 ProgramProm",
                                           "4000 CheckCommunication", "4000 EraseGateArray", "4000 ProgramGateArray"};
    EXPECT_EQ(table, full);
}

TEST_F(SequenceTest, ConsoleProgramExitsWithTheFailingStagesStatus) {
    CopySamples();
    WriteFile("none.txt", "devices =\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=none.txt --yes", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, USB_OPEN_FAILURE);
    EXPECT_THAT(run.output, HasSubstr("0 FTDI device(s) found\nno QVM7316 found - exiting\nProgramming failed\n"));
    EXPECT_THAT(run.output, HasSubstr("Warning!"));

    // A trace that cannot be written costs one warning, not the outcome.
    run = RunConsole("-C " + Dir().string() + " --simulate=none.txt --yes --trace /dev/full", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, USB_OPEN_FAILURE);
    EXPECT_THAT(run.output, HasSubstr("cannot write the trace file /dev/full: No space left on device"));
    EXPECT_EQ(run.output.find("cannot write the trace file"), run.output.rfind("cannot write the trace file"));
}

TEST_F(SequenceTest, ConsoleProgramRejectsBadInputBeforeTouchingADevice) {
    EXPECT_EQ(RunConsole("--frobnicate", Dir() / "out.txt").exitCode, 2);
    EXPECT_EQ(RunConsole("--simulate=/nonexistent.txt --yes", Dir() / "out.txt").exitCode, 2);
    WriteFile("bad.txt", "devices = QVM7316\nbogus = 1\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=bad.txt --yes", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.output, HasSubstr("bad.txt:2: unknown key 'bogus'"));
    EXPECT_THAT(run.output, ::testing::Not(HasSubstr("FTDI device")));
    // Only a regular scenario file of sensible size is read.
    for (const std::string& path : {Dir().string(), std::string("/dev/zero")}) {
        run = RunConsole("--simulate=" + path + " --yes", Dir() / "out.txt");
        EXPECT_EQ(run.exitCode, 2) << path;
        EXPECT_THAT(run.output, HasSubstr("it must be a regular file")) << path;
    }
    WriteFile("huge.txt", std::string(2u << 20, '#'));
    run = RunConsole("-C " + Dir().string() + " --simulate=huge.txt --yes", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.output, HasSubstr("larger than a scenario file may be"));
    // A long option is quoted short.
    run = RunConsole("--" + std::string(100000, 'x'), Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_LT(run.output.size(), 300u);
    // Without --yes and with no one to press Enter, nothing is done.
    run = RunConsole("--simulate", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.output, ::testing::Not(HasSubstr("FTDI device")));
}
