// Replaying a recorded trace: the recorded runs of tests/fixtures/ replay
// to the same output and exit code, and a program that does anything else
// (another byte, call or pause) is stopped at that call, which the report
// names.
#include "sim/replay.h"

#include <gmock/gmock.h>
#include <zlib.h>

#include <sstream>

#include "device/link.h"
#include "platform/clock.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/run_update.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

const std::string kFixtures = std::string(QVM7316_SOURCE_DIR) + "/tests/fixtures/";

std::string Gunzipped(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    std::string text;
    char piece[1 << 16];
    for (int n; file && (n = gzread(file, piece, sizeof piece)) > 0;) text.append(piece, static_cast<std::size_t>(n));
    if (file) gzclose(file);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A trace's call lines, without its comment lines.
std::vector<std::string> Calls(const std::vector<std::string>& lines) {
    std::vector<std::string> calls;
    for (const auto& line : lines)
        if (!line.empty() && line[0] != '#') calls.push_back(line);
    return calls;
}

std::string Joined(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const auto& line : lines) text += line + end;
    return text;
}

// The index of the first line holding `part`.
std::size_t Find(const std::vector<std::string>& lines, const std::string& part) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(part) != std::string::npos) return i;
    ADD_FAILURE() << "no line holds " << part;
    return 0;
}

// Moves every call from line `from` on by `ms` on the recording's clock.
std::vector<std::string> Shifted(std::vector<std::string> lines, std::size_t from, long ms) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i][0] == '#') continue;
        std::size_t blank = lines[i].find(' ');
        lines[i] = std::to_string(std::stol(lines[i].substr(0, blank)) + ms) + lines[i].substr(blank);
    }
    return lines;
}

std::vector<std::string> Fixture(const std::string& name) { return Lines(Gunzipped(kFixtures + name + ".trace.gz")); }

class ReplayTest : public DeviceTest {
  protected:
    // Replays trace text with the sample images, as the console program
    // does; the run's exit status.
    int Replay(const std::vector<std::string>& lines) {
        CopySamples();
        UseVirtualClock();  // from 0, as the recording
        sim::RecordedTrace trace;
        std::string error;
        EXPECT_TRUE(sim::ReadTraceBytes(Joined(lines), "edited", trace, error)) << error;
        // As the console program does: the recorded run's latency timer.
        if (trace.latencyMs != 0) ChooseLatencyTimer(trace.latencyMs);
        sim::StartReplay(std::move(trace), "edited");
        UseBackend(sim::ReplayD2xx());
        int status = UpdateWorker() == 0 ? 0 : LastFailedStatus();
        sim::FinishReplay();
        return status;
    }
    void ExpectDivergence(std::size_t line, const std::string& program, const std::string& difference) {
        std::string report = sim::ReplayReport();
        EXPECT_THAT(report, HasSubstr("diverged at call " + std::to_string(line) + " of ")) << report;
        EXPECT_THAT(report, HasSubstr("(line " + std::to_string(line + 1) + " of the trace)")) << report;
        EXPECT_THAT(report, HasSubstr("the program:  " + program + "\n")) << report;
        EXPECT_THAT(report, HasSubstr("difference:   " + difference)) << report;
    }
};

}  // namespace

TEST_F(ReplayTest, RecordedRunsReplayToTheSameOutputAndExitCode) {
    CopySamples();
    for (auto [name, code] : {std::pair{"whole_update", 0}, {"prom_stalled", 38}, {"gate_array_silent", 38}}) {
        SCOPED_TRACE(name);
        std::string fixture = kFixtures + name;
        ProgramRun run =
            RunConsole("--replay '" + fixture + ".trace.gz' --no-log --trace again.txt", Dir() / "out", Dir() / "err");
        EXPECT_EQ(run.exitCode, code);
        EXPECT_EQ(run.output, ReadFile(fixture + ".out"));
        EXPECT_THAT(ReadFile("err"), StartsWith("qvm7316-update: " + fixture +
                                                ".trace.gz replayed to its end "
                                                "without divergence"));
        // Every call answered as recorded: the replay's own trace is the
        // recording, only the time of a call after a complete read earlier
        // (a device's lateness is made up at the next call). The recordings
        // are of format 2, from before the program set the chip's latency
        // timer: its settings, one a connection at the chip's default, are
        // answered outside the recording.
        auto again = Calls(Lines(ReadFile("again.txt"))), recorded = Calls(Fixture(name));
        auto settings = std::erase_if(
            again, [](const std::string& line) { return line.find("FT_SetLatencyTimer 16 = 0") != std::string::npos; });
        EXPECT_GT(settings, 0u);
        EXPECT_THAT(ReadFile("err"), HasSubstr(" made, and " + std::to_string(settings) +
                                               " FT_SetLatencyTimer calls that a format 2 trace does not record\n"));
        EXPECT_THAT(ReadFile("again.txt"), HasSubstr(" latency 16 gen.hex "));
        ASSERT_EQ(again.size(), recorded.size());
        for (std::size_t i = 0; i < again.size(); ++i)
            EXPECT_EQ(again[i].substr(again[i].find(' ')), recorded[i].substr(recorded[i].find(' '))) << "line " << i;
    }
}

TEST_F(ReplayTest, ADivergenceStopsTheRunAndTheReportNamesIt) {
    const auto recorded = Fixture("whole_update");

    // One byte of the program's output: the recording has sent another.
    auto lines = recorded;
    std::size_t at = Find(lines, "FT_Write 3A");
    lines[at].replace(lines[at].find("FT_Write ") + 9 + 8, 2, "31");
    EXPECT_NE(Replay(lines), 0);
    EXPECT_EQ(LastFailure(), "stopped in ProgramProcessor: REPLAY_DIVERGED (3)");
    ExpectDivergence(at, "FT_Write 3A3032303030303034303030304641", "byte 5 of 15: recorded 31, the program 30");
    EXPECT_THAT(sim::ReplayReport(), HasSubstr("    call " + std::to_string(at - 1) + " (line " + std::to_string(at) +
                                               "): 4000 FT_Write E0 = 0 1\n"));
    // The diverging call failed; only the close that ends the connection
    // came after it.
    auto trace = Trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2].rest, "3A3032303030303034303030304641 = 4 0");
    EXPECT_EQ(trace.back().call, "FT_Close");

    // One call dropped: the program makes it where the recording has the next.
    lines = recorded;
    at = Find(lines, "FT_Write EC");
    lines.erase(lines.begin() + static_cast<long>(at));
    EXPECT_NE(Replay(lines), 0);
    ExpectDivergence(at, "FT_Write EC", "byte 1 of 1: recorded E8, the program EC");

    // The recording cut short, and one that goes on after the run.
    EXPECT_NE(Replay(std::vector(recorded.begin(), recorded.begin() + 13)), 0);
    EXPECT_THAT(sim::ReplayReport(), HasSubstr("recorded:     (the recording ends here, after its 12 calls)"));
    lines = recorded;
    lines.push_back(Shifted({lines.back()}, 0, 1000)[0]);
    EXPECT_EQ(Replay(lines), 0);
    ExpectDivergence(lines.size() - 1, "(the run ended)", "the recording goes on");

    // The pause before the sync byte (1000 ms): the program may come up to
    // 250 ms sooner than the recording shows, and up to 100 ms later.
    at = Find(recorded, "FT_Write 55");
    for (long shift : {200L, -80L}) {
        EXPECT_EQ(Replay(Shifted(recorded, at, shift)), 0) << shift;
        EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    }
    EXPECT_NE(Replay(Shifted(recorded, at, 300)), 0);
    ExpectDivergence(at, "FT_Write 55, 1000 ms after the call before",
                     "a pause 300 ms shorter than recorded; at most 250 ms is allowed");
    EXPECT_NE(Replay(Shifted(recorded, at, -150)), 0);
    ExpectDivergence(at, "FT_Write 55, 1000 ms after the call before",
                     "a pause 150 ms longer than recorded; at most 100 ms is allowed");
}

TEST_F(ReplayTest, PollsAreAnsweredByTimeAndNotCounted) {
    // A recording on a coarse clock polls less often: the same run.
    auto stalled = Fixture("prom_stalled");
    EXPECT_EQ(Replay(stalled), USB_TIMED_OUT);
    std::string log = Output();
    std::vector<std::string> coarse;
    for (const auto& line : stalled)
        if (line.find("FT_GetStatus") == std::string::npos || std::stoul(line) % 16 == 0 ||
            coarse.back().find("FT_GetStatus") == std::string::npos)
            coarse.push_back(line);
    ASSERT_LT(coarse.size(), stalled.size() - 4000);
    EXPECT_EQ(Replay(coarse), USB_TIMED_OUT);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    EXPECT_EQ(Output(), log);

    // A wait the recording has no polls for, one that waits on after the
    // recording's, and one that does not wait where the recording did.
    const auto recorded = Fixture("whole_update");
    auto lines = recorded;
    std::size_t at = Find(lines, "FT_GetQueueStatus");
    lines.erase(lines.begin() + static_cast<long>(at));
    EXPECT_NE(Replay(lines), 0);
    ExpectDivergence(at, "FT_GetQueueStatus", "another call");
    lines = recorded;
    lines[at].replace(lines[at].rfind(' ') + 1, std::string::npos, "14");
    EXPECT_NE(Replay(lines), 0);
    ExpectDivergence(at + 1, "FT_GetQueueStatus", "the program still polls 101 ms after the recording made this call");
    lines = recorded;
    at = Find(lines, "FT_Write EC");
    lines.insert(lines.begin() + static_cast<long>(at), "300 FT_GetStatus = 0 0 0 0");
    EXPECT_NE(Replay(lines), 0);
    ExpectDivergence(at, "FT_Write EC", "the recording polls FT_GetStatus before FT_Write; the program does not");
}

TEST_F(ReplayTest, ReadsAndWritesLastAsTheyDid) {
    // The sync byte's answer came 300 ms late: the run goes on 300 ms later.
    auto lines = Fixture("whole_update");
    std::size_t read = Find(lines, "FT_Read 1 = 0 55");
    ASSERT_EQ(Replay(Shifted(lines, read + 1, 300)), 0);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    // The next connection's first call: 3800 + 300 (the program's trace
    // has the handshake's FT_SetLatencyTimer too, which the recording lacks).
    EXPECT_EQ(Trace()[read + 2].ms, 4100u);

    // A write that blocked for 600 ms on a slow link, in a recording
    // through libftdi1 (whose writes return when the chip has taken the
    // bytes): the run goes on 600 ms later, as it did. The vendor driver's
    // writes go to its queue: there the pause is the program's own.
    std::size_t write = Find(lines, "FT_Write E8");
    auto slowWrite = Shifted(lines, write + 1, 600);
    EXPECT_NE(Replay(slowWrite), 0);
    ExpectDivergence(write + 1, "FT_Write EC, 100 ms after the call before", "a pause 600 ms shorter than recorded");
    slowWrite.insert(slowWrite.begin() + 1, "# driver libftdi");
    ASSERT_EQ(Replay(slowWrite), 0);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    // 0xE8 again: 500 ms after 0xEC, which was answered at 900 (after the
    // handshake's FT_SetLatencyTimer, which the recording lacks).
    EXPECT_EQ(Trace()[write + 2].ms, 1400u);

    // A silent device: the read lasts its time-out.
    lines.resize(read + 2);
    lines[read] = "2800 FT_Read 1 = 0 -";
    lines[read + 1] = "3300 FT_Close = 0";
    EXPECT_EQ(Replay(lines), BAD_HANDSHAKE);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    EXPECT_EQ(Trace().back().ms, 3300u);
}

TEST_F(ReplayTest, OlderTracesAndLaterCommentsReplay) {
    // Version 1: no header, listing and open by description; Windows line ends.
    std::vector<std::string> v1 = {"# no header: an earlier program", "0 FT_ListDevices count = 0 1",
                                   "200 FT_ListDevices index 0 = 0 \"FT232R USB UART\""};
    sim::RecordedTrace trace;
    std::string error;
    ASSERT_TRUE(sim::ReadTraceBytes(Joined(v1, "\r\n"), "v1", trace, error)) << error;
    EXPECT_EQ(trace.formatVersion, 1);
    EXPECT_EQ(Replay(v1), USB_OPEN_FAILURE);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
    EXPECT_THAT(Output(), HasSubstr("no QVM7316 found - exiting\n"));
    // That program opened by description; this one lists the serial number first.
    v1 = {v1[0], v1[1], "200 FT_ListDevices index 0 = 0 \"QVM7316\"", "200 FT_OpenEx \"QVM7316\" = 0"};
    EXPECT_NE(Replay(v1), 0);
    ExpectDivergence(3, "FT_ListDevices index 0 serial", "another call");

    // The latency timer the recorded run set: the header's from format 4
    // on (none for a listing), the chip's default before.
    for (auto [header, latency] : {std::pair{"# qvm7316-update trace 4 0.3.0 latency 7 gen.hex -", 7u},
                                   {"# qvm7316-update trace 4 0.3.0 gen.hex - latency 255", 255u},
                                   {"# qvm7316-update trace 4 0.3.0", 0u},
                                   {"# qvm7316-update trace 4 0.3.0 latency 300", 0u},
                                   {"# qvm7316-update trace 4 0.3.0 latency 7x", 0u},
                                   {"# qvm7316-update trace 3 0.2.0", 16u}}) {
        ASSERT_TRUE(sim::ReadTraceBytes(std::string(header) + "\n", "h", trace, error)) << error;
        EXPECT_EQ(trace.latencyMs, latency) << header;
    }
    EXPECT_EQ(trace.formatVersion, 3);

    // Comment lines a later version adds are skipped.
    auto lines = Fixture("whole_update");
    lines.insert(lines.begin() + 1, "# driver emulator");
    lines.insert(lines.begin() + 100, "# a note");
    EXPECT_EQ(Replay(lines), 0);
    EXPECT_FALSE(sim::ReplayDiverged()) << sim::ReplayReport();
}

TEST_F(ReplayTest, AnyBytesAsATraceGiveAMessage) {
    const std::string header = "# qvm7316-update trace 2 0.1.0\n";
    std::string gz = std::string("\x1F\x8B\x08\x00", 4) + "not really";
    for (auto [text, message] : std::initializer_list<std::pair<std::string, const char*>>{
             {std::string("\x00\xFF\x13", 3), "t:1: column 1: expected the time in ms"},
             {gz, "t: not a whole gzip file"},
             {"0 FT_Foo = 0\n", "t:1: unknown call 'FT_Foo'"},
             {header + "5 FT_Close = 0\n4 FT_Close = 0\n", "t:3: the time goes back, from 5 to 4 ms"},
             {"0 FT_Read 2 = 0 414243\n", "t:1: FT_Read got 3 bytes, more than the 2 it asked for"},
             {"0 FT_Write 4 = 0 1\n", "t:1: column 12: expected bytes as hexadecimal pairs"},
             {"0 FT_Purge 99999999999 = 0\n", "t:1: column 12: expected the mask"},
             {"0 FT_OpenEx serial \"" + std::string(65, 'A') + "\" = 0\n",
              "t:1: column 86: expected a text of at most 64"},
             {"0 FT_Close = 0 \n", "t:1: column 15: expected the end of the line"},
             {"0 FT_OpenEx location 2 = 0\n", "t:1: column 22: expected a location as 0x and eight hexadecimal"},
             {"0 FT_ListDevices index 1 location = 0 \"A\"\n", "t:1: column 39: expected a location as 0x"},
             {"# qvm7316-update trace 5 9.0\n", "t:1: written in trace format 5 by qvm7316-update '9.0'"},
             {"0 FT_SetLatencyTimer 256 = 0\n", "t:1: column 22: expected the latency timer, 0 to 255 ms"},
             {header.substr(0, header.size() - 1) + " gen.hex 12\n", "t:1: the header names gen.hex without its size"},
         }) {
        sim::RecordedTrace trace;
        std::string error;
        EXPECT_FALSE(sim::ReadTraceBytes(text, "t", trace, error)) << message;
        EXPECT_THAT(error, StartsWith(message));
    }
    WriteFile("bad.trace", "0 FT_Close\n");
    ProgramRun run = RunConsole("--replay bad.trace", Dir() / "out");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.output, HasSubstr("bad.trace:1: column 11: expected \" = \" and the status"));
}

TEST_F(ReplayTest, TheImagesMustBeTheRecordedRunsOrDifferWhereItMatters) {
    CopySamples();
    std::string prom = ReadFile("genprom.hex");
    prom[prom.find_first_not_of('F')] ^= 1;  // a digit of the first page's data, still a digit
    WriteFile("genprom.hex", prom);
    std::string trace = "'" + kFixtures + "whole_update.trace.gz'";
    ProgramRun run = RunConsole("--replay " + trace + " --no-log", Dir() / "out");
    EXPECT_EQ(run.exitCode, REPLAY_DIVERGED);
    EXPECT_THAT(run.output, HasSubstr("genprom.hex: the recorded run's has 24672 bytes, SHA-256 7d42"));
    EXPECT_THAT(run.output, Not(HasSubstr("Connecting")));

    // The field run's log file, often beside the trace, is left as it came.
    WriteFile("qvm7316-update.log", "the field run\n");
    run = RunConsole("--replay " + trace + " --replay-any-images", Dir() / "out");
    EXPECT_EQ(run.exitCode, REPLAY_DIVERGED);
    EXPECT_EQ(ReadFile("qvm7316-update.log"), "the field run\n");
    EXPECT_THAT(run.output, HasSubstr("Programming PROM\n"));
    EXPECT_THAT(run.output, HasSubstr("difference:   byte "));
    EXPECT_THAT(run.output, HasSubstr(" of 512: recorded "));

    EXPECT_EQ(RunConsole("--replay " + trace + " --simulate", Dir() / "out").exitCode, 2);
}
