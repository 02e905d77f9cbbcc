// Gate-array block requests, the erase stage and the programming stage
// against the emulated device: requests and answers on the wire, the phase
// rule, the log, the timing, and every row of both failure tables.
#include <gmock/gmock.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "device/link.h"
#include "platform/d2xx.h"
#include "protocol/commands.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/gate_array_requests.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A recognisable image: it starts 00 1F A5 and holds every byte value.
std::string Image(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    const char start[] = {0x00, 0x1F, static_cast<char>(0xA5)};
    std::memcpy(bytes.data(), start, std::min<std::size_t>(3, length));
    return bytes;
}

// The answer the device should get for a request: 32 bytes, FF past the end.
std::string AnswerFor(const std::string& image, std::size_t request) {
    std::string answer;
    for (std::size_t i = request - 1; i < request - 1 + 32; ++i)
        answer += Hex(std::string(1, i < image.size() ? image[i] : '\xFF'));
    return answer;
}

std::string Unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string ProgressLines(const char* format, std::initializer_list<unsigned> values) {
    std::string text;
    char line[64];
    for (unsigned v : values) {
        std::snprintf(line, sizeof line, format, v);
        text += line;
    }
    return text;
}

const std::string kBlank = std::string(39, ' ') + "\r";

std::string EraseProgress() {
    std::string text;
    char line[32];
    for (unsigned s = 1; s <= 100; ++s) {
        std::snprintf(line, sizeof line, " GA erase %3u %% done\r", s);
        text += line;
    }
    return text + "\n";
}

// The file descriptor the process holds open on GEN.dat, or -1.
int ImageDescriptor() {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(fd.path(), ec);
        if (!ec && target.filename() == "GEN.dat") return std::stoi(fd.path().filename().string());
    }
    return -1;
}

// A backend around the traced emulator that takes the image's file
// descriptor away when a read times out, so that closing the image fails.
const D2xxOps* g_inner = nullptr;
FT_STATUS WINAPI ReadThenLoseImage(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) {
    FT_STATUS status = g_inner->Read(h, buffer, count, got);
    if (*got < count && ImageDescriptor() >= 0) close(ImageDescriptor());
    return status;
}
D2xxOps g_losingImage;

}  // namespace

class GateArrayTest : public DeviceTest {
  protected:
    // GEN.dat of the given length, and the device set up after it, its
    // gate array erased before (as the erase stage leaves it), so that a
    // programming pass takes effect as it is given.
    std::string UseImage(std::size_t length, const std::string& scenario = "") {
        std::string image = Image(length);
        WriteFile("GEN.dat", image);
        Start(scenario);
        Device().gateArray.image.assign(length, 0xFF);
        return image;
    }

    // The 64-byte writes, as text.
    std::vector<std::string> Answers() {
        std::vector<std::string> answers;
        for (const auto& w : Writes()) {
            std::string hex = w.substr(w.find(' ') + 1);
            if (hex.size() == 128) answers.push_back(Unhex(hex));
        }
        return answers;
    }

    // The command bytes written, as "<ms> <byte>".
    std::vector<std::string> CommandWrites() {
        std::vector<std::string> commands;
        for (const auto& w : Writes())
            if (w.size() - w.find(' ') == 3) commands.push_back(w);
        return commands;
    }

    void LoseImageOnTimeOut() {
        g_inner = SelectedD2xx();
        g_losingImage = *g_inner;
        g_losingImage.Read = ReadThenLoseImage;
        SelectD2xx(&g_losingImage);
    }
};

// ---- Requests and answers ----

TEST_F(GateArrayTest, RequestsAreConvertedAsDecimalTextAndOnlyAcceptedOnesCount) {
    UseImage(100,
             "ga_requests = 000001, \"     1\", +00001, 12ab56, 000000, ABCDEF, \"      \", -00001, 000099, 000100");
    ASSERT_EQ(OpenDevice(), 0);
    SendModeCommand(CMD_GATE_ARRAY_PROGRAM);
    ASSERT_EQ(SetDeviceTimeouts(2000, 0), 0);
    std::FILE* image = OpenGateArrayImage();
    ASSERT_NE(image, nullptr);
    std::vector<std::int32_t> numbers;
    std::vector<bool> accepted;
    std::int32_t n = 0;
    while (ReceiveBlockRequest(n) == RequestResult::Received) {
        numbers.push_back(n);
        accepted.push_back(AcceptBlockRequest(n));
    }
    EXPECT_THAT(numbers, ElementsAre(1, 1, 1, 12, 0, 0, 0, -1, 99, 100));
    EXPECT_THAT(accepted, ElementsAre(true, true, true, true, false, false, false, false, true, false));
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\nMaxSize = 100\n");

    // Taken unsigned, a negative request lies far beyond any image.
    MaxSize = 0xFFFFFFFFu;
    EXPECT_FALSE(AcceptBlockRequest(-1));
    EXPECT_TRUE(AcceptBlockRequest(999999));
}

TEST_F(GateArrayTest, AnswersAreTheBlockInUpperCaseHexWithFFPastTheEnd) {
    std::string image = UseImage(100, "ga_requests = 000001, 12ab56, -00001, 000099, 000100, 000050");
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);  // far fewer than 100 answers
    auto answers = Answers();
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[0].substr(0, 6), "001FA5");
    EXPECT_EQ(answers[0], AnswerFor(image, 1));
    EXPECT_EQ(answers[1], AnswerFor(image, 12));
    EXPECT_EQ(answers[2], Hex(image.substr(98, 2)) + std::string(60, 'F'));
    EXPECT_EQ(answers[3], AnswerFor(image, 50));
    for (const auto& a : answers) EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    // The device kept what it was answered, where it asked for it.
    std::string held(Device().gateArray.image.begin(), Device().gateArray.image.end());
    EXPECT_EQ(held.substr(0, 43), image.substr(0, 43));
    EXPECT_EQ(held.substr(43, 6), std::string(6, '\xFF'));  // never asked for
    EXPECT_EQ(held.substr(49, 32), image.substr(49, 32));
    EXPECT_EQ(held.substr(98), image.substr(98));
}

TEST_F(GateArrayTest, EmptyImageServesNothingAndTheEraseGoesAhead) {
    WriteFile("GEN.dat", "");
    Start("ga_length = 64");  // the device still asks
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_TRUE(Answers().empty());
    EXPECT_EQ(Output(),
              "1 FTDI device(s) found\nQVM7316 found\nErase Gatearray\nMaxSize = 0\nTimed out\n"
              "Erasing GateArray\n" +
                  EraseProgress() + "Reseting Processor\nProcessor reset.....Finished\n");
}

TEST_F(GateArrayTest, ThreeBytesThenSilenceIsATimeOutAndTheBytesAreLost) {
    UseImage(3200, "ga_requests = 000001, 000");
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    EXPECT_EQ(Answers().size(), 1u);
    EXPECT_EQ(g_bytesRead, 3u);
    auto trace = Trace();
    auto last = std::find_if(trace.rbegin(), trace.rend(), [](const TraceLine& t) { return t.call == "FT_Read"; });
    ASSERT_NE(last, trace.rend());
    EXPECT_EQ(last->rest, "6 = 0 303030");
    EXPECT_EQ((last - 1)->ms, last->ms + 5000);  // the next call came after the whole time-out
}

// ---- Programming and verification ----

TEST_F(GateArrayTest, ProgrammingAndVerifyingPassesEndWithFinishedProgramming) {
    std::string image = UseImage(3200);  // 100 blocks: both samples land on the last block
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\nMaxSize = 3200\n Programming:  99 %\r" + kBlank +
                            " Verifying:    99 %\r\nTimed out\n\nFinished Programming\nReseting Processor\n"
                            "Processor reset.....done\n");
    const auto& ga = Device().gateArray;
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), image);
    EXPECT_TRUE(ga.verifyRan);
    EXPECT_TRUE(ga.verifyMatched);
    EXPECT_EQ(Answers().size(), 200u);
    // Open and list (200 ms), F4 and C0 200 ms apart; the first answer at
    // 600, one a millisecond for 100, 10 ms after the 100th and the 200th,
    // then 5000 ms of silence, 2000 ms, and the reset.
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F4", "400 C0", "7818 E4", "8018 C0"));
    EXPECT_EQ(Writes()[2].substr(0, 4), "600 ");
    EXPECT_EQ(Trace().back().ms, 8218u);
    EXPECT_EQ(Trace().back().call, "FT_Close");
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(g_stepCounter, 0);  // one change of the percentage: no tick
}

TEST_F(GateArrayTest, EveryFifthChangeOfThePercentageTicksAndZeroIsNoChange) {
    UseImage(320000);  // 10000 blocks: samples at 0, 1, ..., 99 %, twice
    EXPECT_EQ(ProgramGateArray(), 0);
    std::string out = Output();
    std::string programming = ProgressLines(" Programming: %3u %%\r", {0, 1, 2});
    std::string switching =
        ProgressLines(" Programming: %3u %%\r", {98, 99}) + kBlank + ProgressLines(" Verifying:   %3u %%\r", {0, 1});
    EXPECT_THAT(out, HasSubstr("MaxSize = 320000\n" + programming));
    EXPECT_THAT(out, HasSubstr(switching));
    EXPECT_THAT(out, HasSubstr(" Verifying:    99 %\r\nTimed out\n"));
    // 99 changes in programming (0 is none) and 100 in verifying.
    EXPECT_EQ(g_stepCounter, 39);
    auto shown = ShownValues();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 39), 1);
}

TEST_F(GateArrayTest, SilenceBeforeTheVerifyingPhaseEndsWithTimedOut) {
    UseImage(4160);  // 130 blocks: the samples fall on 76 % and 53 %, never 99 %
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr(" Programming:  76 %\r Programming:  53 %\r\nTimed out\n"));
    EXPECT_THAT(out, Not(HasSubstr("Finished Programming")));
    EXPECT_EQ(Device().gateArray.erases, 0u);
    EXPECT_FALSE(Device().open);                                    // the stage closed what it opened
    EXPECT_EQ(ImageDescriptor(), -1);                               // nor the image
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F4", "400 C0"));  // no reset

    UseImage(1568);  // 49 blocks, 98 answers: no sample at all
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 1568\n\nTimed out\n"));
}

TEST_F(GateArrayTest, SilenceEarlyInTheVerifyingPhaseEndsWithTimedOut) {
    UseImage(32000, "ga_stop_after = 1500");  // stops at the middle of verifying
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr(" Verifying:    49 %\r\nTimed out\n"));
    EXPECT_FALSE(Device().gateArray.verifyRan);
}

TEST_F(GateArrayTest, ShortWriteIsReportedAndTheAnswerStillCounts) {
    UseImage(3200, "ga_short_write = 3");
    EXPECT_EQ(ProgramGateArray(), 0);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("MaxSize = 3200\nwrong size of UsbBytesWritten to USB\n Programming:  99 %\r"));
    auto trace = Trace();
    EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                            [](const TraceLine& t) { return t.call == "FT_Write" && t.rest.ends_with(" = 0 32"); }),
              1);
}

// A read or a write failing in the middle of the passes winds down as a
// finished pass would, but the gate array was not fully programmed: the
// stage says so with its status.
TEST_F(GateArrayTest, ReadOrWriteFailureWindsDownAndFails) {
    UseImage(3200, "fail = FT_Read 50");
    EXPECT_EQ(ProgramGateArray(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nRead Failed\n\nFinished Programming\nReseting Processor\n"
                                    "Processor reset.....done\n"));
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F4", "400 C0", "2648 E4", "2848 C0"));
    EXPECT_FALSE(Device().open);

    UseImage(3200, "fail = FT_Write 50");
    EXPECT_EQ(ProgramGateArray(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nUSB Write Failed\n\nFinished Programming\nReseting Processor\n"
                                    "Processor reset.....done\n"));
    EXPECT_EQ(Answers().size(), 48u);  // the last of them failed
    EXPECT_EQ(Device().gateArray.answersReceived, 47u);
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(Device().resets, 1u);
}

TEST_F(GateArrayTest, ProgrammingFailureTable) {
    UseImage(3200, "devices =");
    EXPECT_EQ(ProgramGateArray(), USB_OPEN_FAILURE);

    UseImage(3200, "fail = FT_Purge 1");
    EXPECT_EQ(ProgramGateArray(), USB_PURGE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetPurge Failed\n"));
    EXPECT_FALSE(Device().open);

    UseImage(3200, "fail = FT_SetTimeouts 1");
    EXPECT_EQ(ProgramGateArray(), USB_TIMEOUT_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetTimeout Failed\n"));
    EXPECT_FALSE(Device().open);

    std::filesystem::remove(Dir() / "GEN.dat");
    Start();
    EXPECT_EQ(ProgramGateArray(), GEN_DAT_OPEN_FAILURE);
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\nfailed to open GEN.dat\nNo such file or directory\n");
    EXPECT_FALSE(Device().open);

    // A command byte lost at the reset is only printed.
    UseImage(3200, "fail = FT_Write 203");
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("Reseting Processor\nUSB Write Failed\nProcessor reset.....done\n"));

    UseImage(3200, "fail = FT_Close 1");
    EXPECT_EQ(ProgramGateArray(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Processor reset.....done\nClose Failed\nUSB_CLOSE_FAILURE\n"));

    UseImage(3200);
    LoseImageOnTimeOut();
    EXPECT_EQ(ProgramGateArray(), FILE_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Finished Programming\nerror closing file\n"));
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(ImageDescriptor(), -1);  // nor the image
}

// ---- Erase ----

TEST_F(GateArrayTest, EraseServesFourBlocksWaitsAndPrintsTheReport) {
    std::string image = UseImage(3200);
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_EQ(Output(),
              "1 FTDI device(s) found\nQVM7316 found\nErase Gatearray\nMaxSize = 3200\nTimed out\n"
              "Erasing GateArray\n" +
                  EraseProgress() +
                  "GA erase OK\r\nReseting Processor\n"
                  "Processor reset.....Finished\n");
    EXPECT_THAT(Answers(),
                ElementsAre(AnswerFor(image, 1), AnswerFor(image, 33), AnswerFor(image, 65), AnswerFor(image, 97)));
    // Answers at 600 to 603; 2000 ms of silence; 100 x 500 ms; the report
    // read waits its whole 10000 ms for 22 bytes; the reset.
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F1", "400 C0", "62603 E4", "62803 C0"));
    auto trace = Trace();
    EXPECT_EQ(trace[trace.size() - 5].rest, "10000 0 = 0");
    EXPECT_EQ(trace[trace.size() - 5].ms, 52603u);
    EXPECT_EQ(g_stepCounter, 4);
    EXPECT_THAT(ShownValues(), ::testing::IsSupersetOf({1, 2, 3, 4}));
    EXPECT_EQ(Device().gateArray.erases, 1u);
    EXPECT_FALSE(Device().open);
}

TEST_F(GateArrayTest, EraseReportIsCutToTwentyOneBytesStopsAtAZeroByteOrIsMissing) {
    const std::string after = "\nReseting Processor\n";
    UseImage(3200, "ga_report = \"ABCDEFGHIJKLMNOPQRSTUVWXYZ\"");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r\nABCDEFGHIJKLMNOPQRSTUReseting Processor\n"));

    UseImage(3200, "ga_report = \"GA\\0erase\\r\\n\"");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r\nGAReseting Processor\n"));

    UseImage(3200, "ga_report = none");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r" + after));

    // A report later than the wait and the read: nothing, and the reset
    // stops the device from sending it.
    UseImage(3200, "ga_erase_ms = 70000");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r" + after));
    EXPECT_TRUE(Device().toHost.empty());
}

TEST_F(GateArrayTest, EraseGoesOnAfterAReadOrWriteFailureInTheRequests) {
    UseImage(3200, "fail = FT_Read 2");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nUSB Read Failed\nErasing GateArray\n"));

    UseImage(3200, "fail = FT_Write 3");  // the first answer
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nUSB Write Failed\nErasing GateArray\n"));
    EXPECT_EQ(g_stepCounter, 8);

    UseImage(3200, "fail = FT_Read 6");  // the report
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r\nUSB Read Failed\nReseting Processor\n"));
}

TEST_F(GateArrayTest, EraseFailureTable) {
    UseImage(3200, "devices =");
    EXPECT_EQ(EraseGateArray(), USB_OPEN_FAILURE);

    UseImage(3200, "fail = FT_Purge 1");
    EXPECT_EQ(EraseGateArray(), USB_PURGE_FAILURE);
    EXPECT_FALSE(Device().open);

    UseImage(3200, "fail = FT_SetTimeouts 1");
    EXPECT_EQ(EraseGateArray(), USB_TIMEOUT_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Erase Gatearray\nSetTimeout Failed\n"));

    std::filesystem::remove(Dir() / "GEN.dat");
    Start();
    EXPECT_EQ(EraseGateArray(), GEN_DAT_OPEN_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Erase Gatearray\nfailed to open GEN.dat\n"));
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(g_stepCounter, 0);

    UseImage(3200);
    LoseImageOnTimeOut();
    EXPECT_EQ(EraseGateArray(), FILE_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Timed out\nerror closing file\n"));
    EXPECT_FALSE(Device().open);

    // Failures after the erase wait leave the three ticks of the wait.
    UseImage(3200, "fail = FT_SetTimeouts 2");
    EXPECT_EQ(EraseGateArray(), USB_TIMEOUT_FAILURE);
    EXPECT_EQ(g_stepCounter, 3);

    UseImage(3200, "fail = FT_Close 1");
    EXPECT_EQ(EraseGateArray(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Processor reset.....Finished\nClose Failed\n"));
    EXPECT_EQ(g_stepCounter, 6);
}

// ---- The device's own side ----

TEST_F(GateArrayTest, DeviceComparesTheVerifyingPassWithWhatItWasGiven) {
    std::string image = UseImage(320);
    ASSERT_EQ(OpenDevice(), 0);
    SendModeCommand(CMD_GATE_ARRAY_PROGRAM);
    ASSERT_EQ(SetDeviceTimeouts(1000, 0), 0);
    std::FILE* file = OpenGateArrayImage();
    ASSERT_NE(file, nullptr);
    std::int32_t n = 0;
    int requests = 0;
    while (ReceiveBlockRequest(n) == RequestResult::Received) {
        ASSERT_TRUE(AcceptBlockRequest(n));
        if (++requests != 15) {
            ASSERT_TRUE(AnswerBlockRequest(file, n));
            continue;
        }
        // Block 5 of the verifying pass, answered with one digit wrong.
        std::fseek(file, n - 1, SEEK_SET);
        ReadImageBlock(file);
        g_lineBuffer[0] = g_lineBuffer[0] == '0' ? '1' : '0';
        ASSERT_EQ(FT_Write(g_deviceHandle, g_lineBuffer, 64, &UsbBytesWritten), FT_OK);
    }
    const auto& ga = Device().gateArray;
    EXPECT_EQ(requests, 20);
    EXPECT_TRUE(ga.verifyRan);
    EXPECT_FALSE(ga.verifyMatched);
    EXPECT_EQ(ga.verifyMismatches, 1u);
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), image);
}

TEST_F(GateArrayTest, TheGateArrayIsFlashThatOnlyAnEraseSetsAgain) {
    // Never erased: it holds old contents, which programming cannot raise,
    // and the device's own verification says so.
    std::string first = Image(3200);
    WriteFile("GEN.dat", first);
    Start();
    ProgramGateArray();
    const auto& ga = Device().gateArray;
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), std::string(3200, '\0'));
    EXPECT_TRUE(ga.verifyRan);
    EXPECT_FALSE(ga.verifyMatched);
    EXPECT_EQ(ga.verifyMismatches, 100u);

    // Erased, then programmed: it holds the image and verifies.
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), first);
    EXPECT_TRUE(ga.verifyMatched);

    // Another image over it without an erase: only the bits both hold stay.
    std::string second(3200, '\x5A'), both(3200, '\0');
    for (std::size_t i = 0; i < both.size(); ++i) both[i] = static_cast<char>(first[i] & second[i]);
    WriteFile("GEN.dat", second);
    ProgramGateArray();
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), both);
    EXPECT_FALSE(ga.verifyMatched);

    // device.txt counts what the gate array went through.
    EXPECT_THAT(sim::DeviceReport(Device()),
                HasSubstr("gate_array_erases: 1\ngate_array_erases_cut_short: 0\ngate_array_programming_passes: 3\n"
                          "gate_array_verifications: 3\ngate_array_length: 3200\ngate_array_verify: mismatch\n"
                          "gate_array_verify_mismatches: 100\n"));
}

TEST_F(GateArrayTest, AnEraseCutShortByTheResetLeavesTheGateArrayAsItWas) {
    // Longer than the stage waits: its reset comes first.
    WriteFile("GEN.dat", Image(3200));
    Start("ga_erase_ms = 70000");
    EXPECT_EQ(EraseGateArray(), 0);
    const auto& ga = Device().gateArray;
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), std::string(3200, '\0'));
    EXPECT_THAT(sim::DeviceReport(Device()), HasSubstr("gate_array_erases: 0\ngate_array_erases_cut_short: 1\n"));

    // Just in time: erased, the report arrives within the read.
    Start("ga_erase_ms = 61990");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("GA erase OK\r\nReseting Processor\n"));
    const auto& erased = Device().gateArray;  // a new device
    EXPECT_EQ(std::string(erased.image.begin(), erased.image.end()), std::string(3200, '\xFF'));
}

TEST_F(GateArrayTest, APassWhoseLastBlockIsAnsweredHasEndedEvenIfTheDeviceThenStops) {
    // Silent right after the programming pass: programmed, never verified.
    UseImage(3200, "ga_stop_after = 100");
    ProgramGateArray();
    EXPECT_THAT(sim::DeviceReport(Device()), HasSubstr("gate_array_programming_passes: 1\ngate_array_verifications: 0\n"
                                                       "gate_array_length: 3200\ngate_array_verify: not run\n"));
    // Silent right after the verifying pass: that is its end.
    UseImage(3200, "ga_stop_after = 200");
    ProgramGateArray();
    EXPECT_THAT(sim::DeviceReport(Device()), HasSubstr("gate_array_programming_passes: 1\ngate_array_verifications: 1\n"
                                                       "gate_array_length: 3200\ngate_array_verify: matched\n"));
}
