// The time left: the schedule against whole runs in virtual time, with the
// emulated device's own timing and with a device slower than it, and the
// time left as the technician reads it.
#include "update/time_left.h"

#include <gmock/gmock.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/link.h"
#include "hex_gen.h"
#include "platform/clock.h"
#include "test_support.h"
#include "update/run_update.h"
#include "update/schedule.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::int64_t Signed(std::uint64_t ms) { return static_cast<std::int64_t>(ms); }

// The stages' words as the reports gave them, each once, in order.
std::vector<std::string> WordsInOrder() {
    std::vector<std::string> words;
    for (const auto& r : TimeLeftReports())
        if (words.empty() || words.back() != r.stage) words.push_back(r.stage);
    return words;
}

}  // namespace

class TimeLeftTest : public DeviceTest {
  protected:
    // Runs the whole update; every report's estimate against the time that
    // was really left then: its error in ms (positive: too much).
    std::vector<std::int64_t> RunAndCompare() {
        EXPECT_EQ(UpdateWorker(), 0) << Output();
        std::uint64_t end = NowMs();
        std::vector<std::int64_t> errors;
        for (const auto& r : TimeLeftReports()) errors.push_back(Signed(r.msLeft) - Signed(end - r.at));
        return errors;
    }

    // A firmware of `records` 16-byte records, none across a 128-byte boundary.
    void WriteFirmware(std::size_t records) {
        HexGenOptions options;
        options.minRecord = options.maxRecord = 16;
        options.contiguous = true;
        options.textBytes = records * 45;  // ":10" + address, type, data, checksum, CR LF
        WriteFile("gen.hex", GenerateIntelHex(options));
    }
};

TEST_F(TimeLeftTest, ScheduleFollowsTheSequenceStageByStage) {
    ASSERT_EQ(kScheduleLength, kStageCount);
    for (int i = 0; i < kStageCount; ++i) EXPECT_STREQ(kSchedule[i].name, kStages[i].name);
}

// With the emulated device's own timing the schedule is the run: every
// estimate, from the first before the handshake to the last, is what was
// left to within a few ms per thousand units of work.
TEST_F(TimeLeftTest, NominalRunIsEstimatedRightFromTheStart) {
    CopySamples();
    Start();
    std::vector<std::int64_t> errors = RunAndCompare();
    ASSERT_GT(errors.size(), 150u);  // a report a second mostly, and at the stages' beginnings
    for (std::size_t i = 0; i < errors.size(); ++i)
        EXPECT_LE(std::abs(errors[i]), 100) << "report " << i << " at " << TimeLeftReports()[i].at;
    EXPECT_EQ(TimeLeftReports().front().at, 0u);
    EXPECT_THAT(WordsInOrder(), ElementsAre("Connecting to the processor", "Converting gen.hex",
                                            "Programming the processor", "Resetting the processor", "Erasing the PROM",
                                            "Programming the PROM", "Checking the connection", "Erasing the gate array",
                                            "Programming the gate array", "Verifying the gate array"));
}

// At the driver's own latency timer a short reply waits longer: the
// schedule's rates follow the timer, and the first estimate is still the
// run's length to within a few ms per hundred units of work.
TEST_F(TimeLeftTest, NominalRatesFollowTheLatencyTimer) {
    CopySamples();
    ChooseLatencyTimer(kChipDefaultLatencyMs);
    Start();
    std::vector<std::int64_t> errors = RunAndCompare();
    ASSERT_FALSE(errors.empty());
    EXPECT_GT(NowMs(), 240000u);  // 16 ms a block request: half a minute longer than at 2 ms
    EXPECT_LE(std::abs(errors.front()), 250);
}

// During the long waits the reports keep coming, a second apart, and the
// estimate counts down with the clock.
TEST_F(TimeLeftTest, LongWaitsCountDownSecondBySecond) {
    CopySamples();
    Start();
    RunAndCompare();
    std::vector<TimeLeftReport> erase;
    for (const auto& r : TimeLeftReports())
        if (r.stage == "Erasing the PROM") erase.push_back(r);
    ASSERT_GE(erase.size(), 100u);
    // The first comes at the stage's beginning, before its pause and the
    // erase's instructions; from the erase count's first step on, a second
    // apart.
    for (std::size_t i = 2; i < erase.size(); ++i) {
        EXPECT_LE(erase[i].at - erase[i - 1].at, 1000u);
        EXPECT_EQ(erase[i].msLeft + erase[i].at, erase[i - 1].msLeft + erase[i - 1].at) << "report " << i;
    }
}

// A loader slower than nominal: the estimate is short while the records
// are at their nominal rate, and right once they have a rate of their own.
TEST_F(TimeLeftTest, SlowLoaderIsCarriedByTheMeasuredRecordRate) {
    CopySamples();
    WriteFirmware(200);
    Start("echo_delay_ms = 40");
    std::vector<std::int64_t> errors = RunAndCompare();
    const auto& reports = TimeLeftReports();
    EXPECT_LT(errors.front(), -200 * 40 * 9 / 10);  // before: 200 records' delay missing

    // From a few records into the programming on, right to the end.
    auto measured = std::find_if(reports.begin(), reports.end(), [](const TimeLeftReport& r) {
        return r.stage == "Programming the processor" && r.at > 4000 + 5 * 111;
    });
    ASSERT_NE(measured, reports.end());
    for (std::size_t i = measured - reports.begin(); i < errors.size(); ++i)
        EXPECT_LE(std::abs(errors[i]), 100) << "report " << i << " at " << reports[i].at;
}

// A gate array slower to ask than nominal: the four requests of its erase
// mode give the rate, which carries the programming passes' estimate
// before they begin.
TEST_F(TimeLeftTest, SlowGateArrayIsCarriedFromItsEraseToItsPasses) {
    CopySamples();
    Start("ga_request_delay_ms = 6");
    std::vector<std::int64_t> errors = RunAndCompare();
    const auto& reports = TimeLeftReports();
    // 2000 requests of the passes, 4 ms each slower than nominal (the
    // chip's 2 ms latency timer).
    EXPECT_LT(errors.front(), -7000);
    auto erased = std::find_if(reports.begin(), reports.end(),
                               [](const TimeLeftReport& r) { return r.stage == "Erasing the gate array"; });
    ASSERT_NE(erased, reports.end());
    std::size_t from = erased - reports.begin() + 2;  // past the stage's beginning and its requests
    ASSERT_LT(from, errors.size());
    // The stage's 10 ms pauses take some of the device's time to its next
    // request: 0.06 ms a request here.
    for (std::size_t i = from; i < errors.size(); ++i)
        EXPECT_LE(std::abs(errors[i]), 250) << "report " << i << " at " << reports[i].at;
}

// A run that fails stops the reports; after it nothing is estimated.
TEST_F(TimeLeftTest, FailedRunEndsTheTimeLeft) {
    CopySamples();
    Start("comcheck_reply2 = none");
    EXPECT_NE(UpdateWorker(), 0);
    ASSERT_FALSE(TimeLeftReports().empty());
    EXPECT_EQ(TimeLeftReports().back().stage, "Checking the connection");
    EXPECT_EQ(MsLeft(), 0u);
    EXPECT_STREQ(StageInWords(), "");
}

TEST_F(TimeLeftTest, StageOnItsOwnShowsNoTimeLeft) {
    CopySamples();
    Start();
    EXPECT_EQ(ErasePromChip(), 0);
    EXPECT_TRUE(TimeLeftReports().empty());
}

// The work the images give is known before the run: the firmware's
// records as the conversion makes them, the PROM's pages, the blocks.
TEST_F(TimeLeftTest, AmountsOfTheImagesAreWhatTheStagesGoThrough) {
    HexGenOptions options;
    options.minRecord = options.maxRecord = 16;
    options.contiguous = true;
    options.startAddress = 8;  // every eighth record runs across a 128-byte boundary
    options.textBytes = 20000;
    std::string genHex = GenerateIntelHex(options);
    WriteFile("gen.hex", genHex);
    ASSERT_EQ(ConvertHexFile(), 0);
    RunAmounts amounts = AmountsOfImages(genHex, "", 0);
    EXPECT_EQ(amounts.firmwareRecords, CountLines(ReadFile("gn.hex")));
    EXPECT_GT(amounts.firmwareRecords, CountLines(genHex) - 1);

    EXPECT_EQ(CountLines("A5\r\nA5\nA5\rA5"), 4u);
    EXPECT_EQ(CountLines("A5\r\n\r\n"), 2u);
    EXPECT_EQ(CountLines(""), 0u);
    EXPECT_EQ(AmountsOfImages("", "", 32001).gateArrayBlocks, 1001u);
    // A request reaches position 999,999 at most: 31,250 blocks.
    EXPECT_EQ(AmountsOfImages("", "", 1000030).gateArrayBlocks, 31250u);
    RunAmounts some{100, 10, 1000};
    EXPECT_EQ(WorkUnits(7, some), 4u);     // the erase mode's first blocks
    EXPECT_EQ(WorkUnits(8, some), 2000u);  // two passes
    EXPECT_EQ(WorkUnits(4, some), 0u);
}

TEST(TimeLeftText, MinutesToTheNearestAndSecondsInTheLastMinute) {
    EXPECT_EQ(TimeLeftText(0), "about 1 s left");
    EXPECT_EQ(TimeLeftText(1), "about 1 s left");
    EXPECT_EQ(TimeLeftText(40000), "about 40 s left");
    EXPECT_EQ(TimeLeftText(59000), "about 59 s left");
    EXPECT_EQ(TimeLeftText(59001), "about 1 min left");
    EXPECT_EQ(TimeLeftText(89000), "about 1 min left");
    EXPECT_EQ(TimeLeftText(90000), "about 2 min left");
    EXPECT_EQ(TimeLeftText(12 * 60000 + 29000), "about 12 min left");
}

// The console program puts the time left in the terminal's title, after
// the percentage, and only on a terminal: its log is the same either way.
TEST_F(TimeLeftTest, ConsoleTitleOnATerminalOnly) {
    CopySamples();
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(QVM7316_CONSOLE_EXE, QVM7316_CONSOLE_EXE, "--simulate", "--yes", "--no-log", nullptr);
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<std::size_t>(n));
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(shown, HasSubstr("\033]0; QVM7316 - 0%\007"));
    EXPECT_THAT(shown, HasSubstr("\033]0; QVM7316 - 0% - about 4 min left\007"));
    EXPECT_THAT(shown, HasSubstr(" - about 30 s left\007"));
    EXPECT_THAT(shown, HasSubstr("\033]0; QVM7316 - DONE!\007"));
    EXPECT_THAT(shown.substr(shown.rfind("DONE!")), Not(HasSubstr("left")));

    ProgramRun piped = RunConsole("--simulate --yes --no-log", Dir() / "piped.txt");
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_THAT(piped.output, Not(HasSubstr("\033]")));
}
