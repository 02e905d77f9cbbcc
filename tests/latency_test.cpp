// The FTDI chip's latency timer: how the emulated chip holds replies back
// (and the UART's line time a scenario may add), how every connection of an
// update sets the timer, what a failed setting costs, the processor
// loader's window, and the option that chooses the value.
#include <gmock/gmock.h>

#include <algorithm>
#include <numeric>
#include <sstream>

#include "device/link.h"
#include "expected_images.h"
#include "platform/clock.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/run_update.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class ChipTest : public DeviceTest {
  protected:
    // The bytes in the host's receive queue at `ms`.
    DWORD WaitingAt(std::uint64_t ms) {
        SleepUntilMs(ms);
        DWORD waiting = 0;
        EXPECT_EQ(FT_GetQueueStatus(g_deviceHandle, &waiting), FT_OK);
        return waiting;
    }
    // The communication check's replies: the first at once, the second
    // `delayMs` later.
    void AskForReplies(const std::string& first, const std::string& second, unsigned delayMs) {
        UseVirtualClock();
        Start("comcheck_reply1 = \"" + first + "\"\ncomcheck_reply2 = \"" + second +
              "\"\ncomcheck_delay_ms = " + std::to_string(delayMs));
        ASSERT_EQ(OpenDevice(), 0);  // at 200
    }
};

TEST_F(ChipTest, AShortReplyWaitsForTheTimerCountedFromTheChipsLastPacket) {
    // After the open the timer runs at the chip's default, 16 ms: replies
    // sent at 200 and 205 reach the host together, at 216.
    AskForReplies("0123456789", "abcd", 5);
    SendCommandByte(0xF2);
    SendCommandByte(0xC0);
    EXPECT_EQ(WaitingAt(215), 0u);
    EXPECT_EQ(WaitingAt(216), 14u);
    CloseDevice();

    // Set to 10 ms at 203, the timer would run out at 213; but 62 bytes
    // waiting go at once, at 205, and the rest waits for the timer counted
    // from that packet: 215.
    AskForReplies(std::string(70, 'A'), "abcd", 1);
    SleepUntilMs(203);
    ASSERT_EQ(FT_SetLatencyTimer(g_deviceHandle, 10), FT_OK);
    SleepUntilMs(205);
    SendCommandByte(0xF2);
    SendCommandByte(0xC0);
    EXPECT_EQ(WaitingAt(205), 62u);
    EXPECT_EQ(WaitingAt(214), 62u);
    EXPECT_EQ(WaitingAt(215), 74u);

    // A read that asks for more than is waiting returns when the rest
    // comes with the chip's packet, not before.
    SetDeviceTimeouts(1000, 0);
    char buffer[80];
    ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 74, &g_bytesRead), FT_OK);
    EXPECT_EQ(g_bytesRead, 74u);
    EXPECT_EQ(NowMs(), 215u);
    CloseDevice();
}

TEST_F(ChipTest, TheTimerTakesWhatTheDriverTakesAndAPurgeEmptiesTheChip) {
    AskForReplies("0123456789", "abcd", 100);
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 1), static_cast<FT_STATUS>(FT_INVALID_PARAMETER));
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 255), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(nullptr, 2), static_cast<FT_STATUS>(FT_INVALID_HANDLE));
    ASSERT_EQ(FT_SetLatencyTimer(g_deviceHandle, 2), FT_OK);

    // The first reply, still in the chip, goes with the purge; the second,
    // sent after it, still comes.
    SendCommandByte(0xF2);
    SendCommandByte(0xC0);
    SleepUntilMs(201);
    ASSERT_EQ(PurgeDevice(), 0);
    EXPECT_EQ(WaitingAt(250), 0u);
    EXPECT_EQ(WaitingAt(300), 4u);
    CloseDevice();

    // Without the chip's timer a reply reaches the host as it is sent.
    UseVirtualClock();
    Start("chip_timer = off");
    ASSERT_EQ(OpenDevice(), 0);
    SendCommandByte(0xF2);
    SendCommandByte(0xC0);
    EXPECT_EQ(WaitingAt(200), 24u);
    CloseDevice();

    Start("fail = FT_SetLatencyTimer 2");
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 2), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 2), static_cast<FT_STATUS>(FT_IO_ERROR));
}

TEST_F(ChipTest, ALineRateDelaysWhatTheDeviceGetsAndSends) {
    // 9600 baud: 1.042 ms a byte. The mode bytes written at 200 have reached
    // the device at 202.1 (203 on the clock); it asks 1 ms after, at 204; its
    // six characters reach the chip from 205.0 to 210.3, and the host at the
    // chip's 2 ms beats, the last at 212.
    Start("line_rate = 9600\nga_length = 64");
    ASSERT_EQ(OpenDevice(), 0);
    ASSERT_EQ(FT_SetLatencyTimer(g_deviceHandle, 2), FT_OK);
    ASSERT_EQ(SetDeviceTimeouts(1000, 0), 0);
    SendCommandByte(0xF4);
    SendCommandByte(0xC0);
    char request[7] = {};
    ASSERT_EQ(FT_Read(g_deviceHandle, request, 6, &g_bytesRead), FT_OK);
    EXPECT_STREQ(request, "000001");
    EXPECT_EQ(NowMs(), 212u);

    // The 64-character answer written at 212 takes 66.7 ms to reach the
    // device: the next request starts at 280 and has reached the host at
    // the beat of 288.
    ASSERT_EQ(WriteToDevice(std::string(64, '0').data(), 64), WriteOutcome::Complete);
    // The driver's transmit queue drains at the line's pace: 48 bytes in 50 ms.
    SleepUntilMs(262);
    DWORD rx = 0, tx = 0, event = 0;
    ASSERT_EQ(FT_GetStatus(g_deviceHandle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(tx, 16u);
    ASSERT_EQ(FT_Read(g_deviceHandle, request, 6, &g_bytesRead), FT_OK);
    EXPECT_STREQ(request, "000033");
    EXPECT_EQ(NowMs(), 288u);
}

class LatencyTest : public DeviceTest {
  protected:
    // The whole update with the samples at the chosen timer: its writes'
    // bytes, in order, without their times.
    std::vector<std::string> Update(unsigned latencyMs) {
        ResetDeviceLink();
        ChooseLatencyTimer(latencyMs);
        UseVirtualClock();
        Start();
        EXPECT_EQ(UpdateWorker(), 0);
        std::vector<std::string> bytes;
        for (const std::string& write : Writes()) bytes.push_back(write.substr(write.find(' ') + 1));
        return bytes;
    }
};

TEST_F(LatencyTest, EveryConnectionSetsTheTimerAndTheDeviceGetsTheSameBytes) {
    CopySamples();
    std::vector<std::string> atTheDefault = Update(kChipDefaultLatencyMs);
    std::string log = Output();
    std::uint64_t took = NowMs();
    std::vector<std::string> atTwo = Update(kDefaultLatencyTimerMs);
    EXPECT_EQ(atTwo, atTheDefault);
    EXPECT_EQ(Output(), log);
    EXPECT_LT(NowMs(), took);

    // Right after the open in the handshake, which purges nothing; after the
    // purge in every other connection.
    std::vector<std::string> calls;
    for (const auto& t : Trace())
        if (t.call == "FT_OpenEx" || t.call == "FT_Purge" || t.call == "FT_SetLatencyTimer")
            calls.push_back(t.call == "FT_SetLatencyTimer" ? t.rest : t.call);
    std::vector<std::string> expected = {"FT_OpenEx", "2 = 0"};
    for (int connection = 0; connection < 8; ++connection)
        expected.insert(expected.end(), {"FT_OpenEx", "FT_Purge", "2 = 0"});
    EXPECT_EQ(calls, expected);
}

TEST_F(LatencyTest, AFailedSettingIsOneLineAndTheUpdateGoesOnAtTheChipsTimer) {
    CopySamples();
    Start("fail = FT_SetLatencyTimer 1\nfail = FT_SetLatencyTimer 9");
    ASSERT_EQ(UpdateWorker(), 0);
    std::string out = Output();
    const std::string line = "SetLatencyTimer Failed - going on at the chip's own timer\n";
    EXPECT_EQ(Occurrences(out, line), 2u);
    EXPECT_THAT(out, HasSubstr("QVM7316 found\n" + line + "Connecting to onboard processor\n"));
    EXPECT_THAT(out, HasSubstr("QVM7316 found\n" + line + "MaxSize = 32000\n"));
    const auto& ga = Device().gateArray;
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), ReadFile("GEN.dat"));
    EXPECT_TRUE(ga.verifyRan && ga.verifyMatched);
    // The gate array's requests came at the chip's 16 ms instead: an answer
    // every 16 ms.
    auto trace = Trace();
    auto lastOpen =
        std::find_if(trace.rbegin(), trace.rend(), [](const TraceLine& t) { return t.call == "FT_OpenEx"; });
    std::vector<std::uint64_t> answers;
    for (auto t = lastOpen.base(); t != trace.end(); ++t)
        if (t->call == "FT_Write" && t->rest.ends_with(" = 0 64")) answers.push_back(t->ms);
    ASSERT_EQ(answers.size(), 2000u);
    std::vector<std::uint64_t> apart(answers.size());
    std::adjacent_difference(answers.begin(), answers.end(), apart.begin());
    EXPECT_TRUE(std::all_of(apart.begin() + 1, apart.end(), [](std::uint64_t ms) { return ms == 16; }));
}

TEST_F(LatencyTest, TheLoadersWindowIsNeverShorterThanAtTheDriversDefault) {
    // The read after each echo: 70 ms at the default; the difference more
    // for a shorter timer, which shows the echo sooner, and for a longer
    // one, which holds the status back longer.
    WriteFile("gn.hex", ":0100000000FF\r\n");
    for (auto [timer, window] : {std::pair{2u, "84 0 = 0"}, {16u, "70 0 = 0"}, {100u, "154 0 = 0"}}) {
        ResetDeviceLink();
        ChooseLatencyTimer(timer);
        Start();
        ASSERT_EQ(ProgramProcessor(), 0) << timer;
        std::vector<std::string> timeouts;
        for (const auto& t : Trace())
            if (t.call == "FT_SetTimeouts") timeouts.push_back(t.rest);
        EXPECT_THAT(timeouts, ElementsAre(window, "1000 0 = 0")) << timer;
    }
}

TEST_F(LatencyTest, TheOptionChoosesTheTimerAndTheRecordsNameIt) {
    CopySamples();
    for (const char* bad : {"1", "256", "0", "x", "16ms", "-2", "0016"}) {
        ProgramRun run = RunConsole("--simulate --yes --latency-ms " + std::string(bad), Dir() / "out");
        EXPECT_EQ(run.exitCode, 2) << bad;
        EXPECT_THAT(run.output, HasSubstr("--latency-ms is the chip's latency timer in ms, from 2 to 255")) << bad;
        EXPECT_THAT(run.output, Not(HasSubstr("FTDI device"))) << bad;
    }

    ProgramRun run = RunConsole(
        "-C '" + Dir().string() + "' --simulate --yes --latency-ms=16 --trace t.trace --log run.log", Dir() / "out");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(ReadFile("run.log"), HasSubstr(" update, driver emulator, latency timer 16 ms: gen.hex "));
    std::string trace = ReadFile("t.trace");
    EXPECT_THAT(trace, HasSubstr("# qvm7316-update trace 4 " QVM7316_VERSION " latency 16 gen.hex "));
    EXPECT_EQ(Occurrences(trace, " FT_SetLatencyTimer 16 = 0\n"), 9u);
    EXPECT_GT(Occurrences(trace, " FT_SetTimeouts 70 0 = 0\n"), 100u);  // a line's read window: 70 ms
    EXPECT_EQ(Occurrences(trace, " FT_SetTimeouts 84 "), 0u);

    // The replay sets the recorded run's timer, and takes no other.
    run = RunConsole("-C '" + Dir().string() + "' --replay t.trace", Dir() / "out", Dir() / "err");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(ReadFile("err"), HasSubstr("replayed to its end without divergence"));
    EXPECT_THAT(ReadFile("err"), Not(HasSubstr("does not record")));
    EXPECT_EQ(RunConsole("-C '" + Dir().string() + "' --replay t.trace --latency-ms 16", Dir() / "out").exitCode, 2);
    std::string header = trace.substr(0, trace.find('\n'));
    std::string edited = trace;
    edited.replace(header.find(" latency 16 "), 12, " latency 2 ");
    WriteFile("edited.trace", edited);
    run = RunConsole("-C '" + Dir().string() + "' --replay edited.trace", Dir() / "out", Dir() / "err");
    EXPECT_EQ(run.exitCode, REPLAY_DIVERGED);
    EXPECT_THAT(ReadFile("err"), HasSubstr("difference:   the latency timer: recorded 16, the program 2\n"));
}
