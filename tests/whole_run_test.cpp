// A whole update with the sample images against the emulated device: what
// the device ends up holding, the progress display, and the run's length
// put together from every stage's pauses and time-outs and the device's
// own times.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "device/link.h"
#include "expected_images.h"
#include "platform/clock.h"
#include "sim/device.h"
#include "test_support.h"
#include "update/run_update.h"

using ::testing::HasSubstr;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string AsText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

class WholeRunTest : public DeviceTest {
  protected:
    void ExpectDumpHoldsTheImages(const std::string& dump) {
        EXPECT_EQ(ReadFile(dump + "/processor.bin"), AsText(ProcessorImage(ReadFile("gen.hex"))));
        EXPECT_EQ(ReadFile(dump + "/prom.bin"), AsText(PromImage(ReadFile("genprom.hex"))));
        EXPECT_EQ(ReadFile(dump + "/gatearray.bin"), ReadFile("GEN.dat"));
        EXPECT_THAT(ReadFile(dump + "/device.txt"), HasSubstr("gate_array_verify: matched\n"));
    }
};

TEST_F(WholeRunTest, SamplesEndUpInTheDeviceInTheTimeTheStagesAddUpTo) {
    CopySamples();
    Start();
    ASSERT_EQ(UpdateWorker(), 0);
    std::uint64_t total = NowMs();
    std::string out = Output();

    std::string error;
    ASSERT_TRUE(sim::DumpDevice(Device(), (Dir() / "dump").string(), error)) << error;
    ExpectDumpHoldsTheImages("dump");

    // Progress only rises and ends at 100 with the success text.
    std::vector<int> bars = ShownValues();
    ASSERT_FALSE(bars.empty());
    EXPECT_EQ(bars.back(), 100);
    EXPECT_TRUE(std::is_sorted(bars.begin(), bars.end()));
    EXPECT_EQ(DisplayEvents().back(), "ended 0 Programming finished successfully!");

    // Every open pauses 200 ms after listing the devices.
    const std::uint64_t open = 200;
    // Handshake: its byte pauses; the "U" comes back well before its read.
    std::uint64_t connect = open + 100 + 500 + 500 + 1000 + 500;
    // Processor: 100 ms, then per line the echo poll and, when the loader's
    // answer (the line, a status character, CR LF) is shorter than the 50
    // bytes read, the read's time-out: 70 ms, and 14 ms more for the
    // chip's latency timer of 2 ms instead of 16. The echo comes at the
    // chip's next beat: the first line goes out on a beat, 100 ms after the
    // timer was set, and the poll sees its echo at once (1 ms); every later
    // line goes out 85 or 86 ms after a beat, off the beat, and the poll
    // sees its echo at its second look (2 ms). The boot status record after
    // 100 ms, its read after another 100 ms waits out 1000 ms.
    std::uint64_t processor = open + 100 + 100 + 100 + 1000;
    bool first = true;
    for (const auto& line : Lines(ReadFile("gn.hex"))) {
        std::size_t sent = line.size() - (line.back() == '\r' ? 1 : 0);
        if (sent == 0) continue;
        processor += (first ? 1 : 2) + (sent + 3 < 50 ? 70 + 16 - kDefaultLatencyTimerMs : 0);
        first = false;
    }
    std::uint64_t reset = 2 * open + 500 + 500 + 500 + 3000 + 3000 + 500;
    // PROM erase: 1000 ms, then 101 steps of 1000 ms (the erase itself is shorter).
    std::uint64_t promErase = open + 1000 + 101 * 1000;
    // PROM programming: 10 ms, 2 ms after each page, and 1 ms for each look
    // at a transmit queue still over 128 bytes: the device's own pace.
    std::size_t pages = Lines(ReadFile("genprom.hex")).size();
    std::size_t queueWaits = Occurrences(out, "TxBytes: ");
    std::uint64_t promProgram = open + 10 + 2 * pages + queueWaits;
    // Communication check: mode bytes, 1000 ms after each reply (both came in time).
    std::uint64_t comCheck = open + 400 + 1000 + 1000;
    // A request follows its answer after the device's latency (1 ms), and
    // reaches the host at the chip's next beat: 2 ms after the answer.
    const std::uint64_t request = kDefaultLatencyTimerMs;
    // Gate array erase: mode bytes; the first request is waiting, each of
    // the other three follows its answer; 2000 ms of silence, 100 x 500 ms,
    // the report read waits its 10000 ms for 22 bytes, the reset.
    std::uint64_t gaErase = open + 400 + 3 * request + 2000 + 100 * 500 + 10000 + 400;
    // Gate array programming: two passes over every block; after every
    // 100th answer 10 ms (the request has come meanwhile), after the others
    // the request's time (none after the last unless it is a 100th); 5000
    // ms of silence, 2000 ms, the reset.
    std::uint64_t answers = 2 * ((ReadFile("GEN.dat").size() + 31) / 32);
    std::uint64_t updates = answers / 100;
    std::uint64_t serving = updates * 10 + (answers - updates) * request;
    if (answers % 100 != 0) serving -= request;
    std::uint64_t gaProgram = open + 400 + serving + 5000 + 2000 + 400;
    std::uint64_t sequencePauses = 1000 + 5 * 4000;

    EXPECT_EQ(total,
              sequencePauses + connect + processor + reset + promErase + promProgram + comCheck + gaErase + gaProgram);
}

TEST_F(WholeRunTest, ConsoleProgramInTheSamplesFolderSucceeds) {
    CopySamples();
    std::string log = (Dir() / "log.txt").string();
    std::string command = std::string(QVM7316_CONSOLE_EXE) + " -C " + Dir().string() + " --simulate --yes --dump d >" +
                          log + " 2>&1 </dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(ReadFile("log.txt"), HasSubstr("Processor reset.....done\nProgramming finished successfully!\n"));
    ExpectDumpHoldsTheImages("d");
}

TEST_F(WholeRunTest, ProgressStaysBelowDoneUntilTheWholeRunHasSucceeded) {
    CopySamples();
    std::string pages;
    for (int i = 0; i < 150; ++i) pages += "A5\r\n";  // under 7680 bytes: a tick for every page
    WriteFile("genprom.hex", pages);
    Start();
    // When each value was shown, on the run's clock.
    static std::vector<std::pair<int, std::uint64_t>> shown;
    shown.clear();
    static DisplayOps timed = *RecordingDisplay();
    timed.Progress = [](int percent, const char*) {
        shown.emplace_back(percent, NowMs());
        return true;
    };
    SelectDisplay(&timed);
    ASSERT_EQ(UpdateWorker(), 0);
    EXPECT_GT(g_stepCounter, 150);
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown.back(), std::make_pair(100, NowMs()));  // at the very end, once
    EXPECT_EQ(shown[shown.size() - 2].first, 99);
    EXPECT_LT(shown[shown.size() - 2].second, NowMs() - 4000);  // reached during the PROM already
}
