// Gate-array block requests, the erase stage and the programming stage
// against the emulated device: requests and answers on the wire, the phase
// rule, the log, the timing, and every row of both failure tables.
#include <gmock/gmock.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "device/link.h"
#include "platform/clock.h"
#include "platform/d2xx.h"
#include "protocol/commands.h"
#include "protocol/limits.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/gate_array_requests.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
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

// A backend around the traced emulator that, at the first read (the first
// request), notes whether GEN.dat is open and replaces it with other bytes.
const D2xxOps* g_inner = nullptr;
bool g_replaced = false;
int g_descriptorAtFirstRead = -2;
FT_STATUS WINAPI ReplaceImageThenRead(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) {
    if (!g_replaced) {
        g_replaced = true;
        g_descriptorAtFirstRead = ImageDescriptor();
        std::ofstream("GEN.dat", std::ios::binary | std::ios::trunc) << std::string(6400, 'Q');
    }
    return g_inner->Read(h, buffer, count, got);
}
D2xxOps g_replacingImage;

// A backend around the traced emulator whose device asks for block 1 again
// and again, a millisecond after each answer, whatever its mode.
FT_STATUS WINAPI ReadRequestOne(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) {
    if (count != 6) return g_inner->Read(h, buffer, count, got);
    SleepMs(1);
    std::memcpy(buffer, "000001", 6);
    *got = 6;
    return FT_OK;
}
D2xxOps g_askingForEver;

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

    void ReplaceImageAtFirstRead() {
        g_inner = SelectedD2xx();
        g_replacingImage = *g_inner;
        g_replacingImage.Read = ReplaceImageThenRead;
        g_replaced = false;
        SelectD2xx(&g_replacingImage);
    }

    void AskForEver() {
        g_inner = SelectedD2xx();
        g_askingForEver = *g_inner;
        g_askingForEver.Read = ReadRequestOne;
        SelectD2xx(&g_askingForEver);
    }
};

// ---- Requests and answers ----

TEST_F(GateArrayTest, RequestsAreConvertedAsDecimalTextAndOnlyAcceptedOnesCount) {
    UseImage(100,
             "ga_requests = 000001, \"     1\", +00001, 12ab56, 000000, ABCDEF, \"      \", -00001, 000100, 000101");
    ASSERT_EQ(OpenDevice(), 0);
    SendModeCommand(CMD_GATE_ARRAY_PROGRAM);
    ASSERT_EQ(SetDeviceTimeouts(2000, 0), 0);
    std::string_view image;
    ASSERT_TRUE(TakeGateArrayImage(image));
    std::vector<std::int32_t> numbers;
    std::vector<bool> accepted;
    std::int32_t n = 0;
    while (ReceiveBlockRequest(n) == RequestResult::Received) {
        numbers.push_back(n);
        accepted.push_back(AcceptBlockRequest(n));
    }
    EXPECT_THAT(numbers, ElementsAre(1, 1, 1, 12, 0, 0, 0, -1, 100, 101));
    EXPECT_THAT(accepted, ElementsAre(true, true, true, true, false, false, false, false, true, false));
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\nMaxSize = 100\n");

    // Taken unsigned, a negative request lies far beyond any image.
    MaxSize = 0xFFFFFFFFu;
    EXPECT_FALSE(AcceptBlockRequest(-1));
    EXPECT_TRUE(AcceptBlockRequest(999999));
}

TEST_F(GateArrayTest, AnswersAreTheBlockInUpperCaseHexWithFFPastTheEnd) {
    std::string image = UseImage(100, "ga_requests = 000001, 12ab56, -00001, 000099, 000100, 000101, 000050");
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);  // the end was not asked for a second time
    auto answers = Answers();
    ASSERT_EQ(answers.size(), 5u);
    EXPECT_EQ(answers[0].substr(0, 6), "001FA5");
    EXPECT_EQ(answers[0], AnswerFor(image, 1));
    EXPECT_EQ(answers[1], AnswerFor(image, 12));
    EXPECT_EQ(answers[2], Hex(image.substr(98, 2)) + std::string(60, 'F'));
    EXPECT_EQ(answers[3], Hex(image.substr(99, 1)) + std::string(62, 'F'));  // the block at the last byte
    EXPECT_EQ(answers[4], AnswerFor(image, 50));
    for (const auto& a : answers) EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    // The device kept what it was answered, where it asked for it.
    std::string held(Device().gateArray.image.begin(), Device().gateArray.image.end());
    EXPECT_EQ(held.substr(0, 43), image.substr(0, 43));
    EXPECT_EQ(held.substr(43, 6), std::string(6, '\xFF'));  // never asked for
    EXPECT_EQ(held.substr(49, 32), image.substr(49, 32));
    EXPECT_EQ(held.substr(98), image.substr(98));
}

TEST_F(GateArrayTest, EmptyImageServesNothingAndTheEraseIsNotConfirmed) {
    WriteFile("GEN.dat", "");
    Start("ga_length = 64");  // the device still asks, and waits for its answer
    EXPECT_EQ(EraseGateArray(), USB_TIMED_OUT);
    EXPECT_TRUE(Answers().empty());
    EXPECT_EQ(Output(),
              "1 FTDI device(s) found\nQVM7316 found\nErase Gatearray\nMaxSize = 0\nTimed out\n"
              "Erasing GateArray\n" +
                  EraseProgress() +
                  "No erase report from the QVM7316: the gate array's erase is not confirmed\n"
                  "Reseting Processor\nProcessor reset.....Finished\n");
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
    // 600, one every 2 ms for 100 (the device asks 1 ms after an answer, and
    // the chip hands the request over at the next beat of its 2 ms latency
    // timer), 10 ms after the 100th and the 200th, then 5000 ms of silence,
    // 2000 ms, and the reset.
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F4", "400 C0", "8016 E4", "8216 C0"));
    EXPECT_EQ(Writes()[2].substr(0, 4), "600 ");
    EXPECT_EQ(Writes()[3].substr(0, 4), "602 ");
    EXPECT_EQ(Trace().back().ms, 8416u);
    EXPECT_EQ(Trace().back().call, "FT_Close");
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(g_stepCounter, 0);  // one change of the percentage: no tick
}

TEST_F(GateArrayTest, TheImageIsTakenWholeBeforeTheFirstRequest) {
    // GEN.dat replaced while the requests are served changes nothing sent:
    // the stage holds the image in memory and no longer the file.
    std::string image = UseImage(3200);
    ReplaceImageAtFirstRead();
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_EQ(g_descriptorAtFirstRead, -1);
    const auto& ga = Device().gateArray;
    EXPECT_EQ(std::string(ga.image.begin(), ga.image.end()), image);
    EXPECT_TRUE(ga.verifyMatched);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\n"));
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

// ---- The verdict: a programming pass, then a verifying pass ----

TEST_F(GateArrayTest, EveryFaultFreeRunIsVerifiedWhateverTheImageSize) {
    // By blocks: 1, 2, 99, 100, 101, 150, 351, 1,234, 3,050 and the most
    // six digits can ask for; lengths that fill their last block, that end
    // inside it, and that put its start on the image's last byte.
    const std::size_t lengths[] = {1,        32,   33,    64,    99 * 32, 100 * 32 - 5,        99 * 32 + 1,
                                   101 * 32, 4784, 11231, 39457, 97600,   kGateArrayImageLimit};
    for (std::size_t length : lengths) {
        std::string image = UseImage(length);
        if (length > 100000) SelectD2xx(sim::EmulatorD2xx());  // 62,500 answers: no trace
        EXPECT_EQ(ProgramGateArray(), 0) << length;
        std::string out = Output();
        EXPECT_THAT(out, EndsWith("\nTimed out\n\nFinished Programming\nReseting Processor\n"
                                  "Processor reset.....done\n"))
            << length;
        EXPECT_THAT(out, Not(HasSubstr("100 %"))) << length;  // not even at the block on the last byte
        const auto& ga = Device().gateArray;
        EXPECT_TRUE(ga.verifyRan) << length;
        EXPECT_TRUE(ga.verifyMatched) << length;
        // The device asks from position 1 in steps of 32, up to 999,969:
        // what lies beyond 1,000,000 it never asks for.
        std::size_t asked = std::min<std::size_t>(length, 1000000);
        EXPECT_EQ(std::string(ga.image.begin(), ga.image.begin() + asked), image.substr(0, asked)) << length;
    }
}

TEST_F(GateArrayTest, SmallImagesAreJudgedByEveryAnswerNotByTheSamples) {
    // 130 blocks: the progress samples fall on 76 % and 53 % and never show
    // 99 %, but both passes reached the last block.
    UseImage(4160);
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 4160\n Programming:  76 %\r Programming:  53 %\r\nTimed out\n\n"
                                    "Finished Programming\n"));
    EXPECT_EQ(g_stepCounter, 0);

    UseImage(1568);  // 49 blocks, 98 answers: no sample at all
    EXPECT_EQ(ProgramGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 1568\n\nTimed out\n\nFinished Programming\n"));
}

TEST_F(GateArrayTest, SilenceIsTheEndOnlyAfterAProgrammingAndAVerifyingPass) {
    struct Row {
        std::size_t length;
        const char* scenario;
        int status;
    } rows[] = {
        // 100 blocks; block 99 is the first whose end reaches 99 %.
        {3200, "ga_stop_after = 100", USB_TIMED_OUT},  // after the programming pass
        {3200, "ga_stop_after = 101", USB_TIMED_OUT},  // at the start of the verifying pass
        {3200, "ga_stop_after = 198", USB_TIMED_OUT},  // one block short of the mark
        {3200, "ga_stop_after = 199", 0},
        {32000, "ga_stop_after = 1500", USB_TIMED_OUT},  // the middle of the verifying pass
        {32, "ga_stop_after = 1", USB_TIMED_OUT},        // one block, programmed only
        // The positions decide, not how many answers there were: a pass
        // starts at the first block and covers the image without a gap.
        {3200, "ga_requests = 003169, 003169", USB_TIMED_OUT},          // the last block again is no new pass
        {3200, "ga_requests = 003169, 000001, 003169", USB_TIMED_OUT},  // the ends, not the image between
        {32, "ga_requests = 000001, 000001", 0},                        // in a one-block image it is
        {32, "ga_requests = 000001", USB_TIMED_OUT},
        {31, "ga_requests = 000018, 000002", USB_TIMED_OUT},  // never the first byte
        // A pass begun after the verification must reach the end too.
        {64, "ga_requests = 000001, 000033, 000001, 000033, 000001", USB_TIMED_OUT},
        {64, "ga_requests = 000001, 000033, 000001, 000033", 0},
        {64, "ga_requests = 000033, 000001, 000033", USB_TIMED_OUT},
    };
    for (const Row& row : rows) {
        UseImage(row.length, row.scenario);
        EXPECT_EQ(ProgramGateArray(), row.status) << row.length << " " << row.scenario;
        std::string out = Output();
        EXPECT_FALSE(Device().open) << row.scenario;
        EXPECT_EQ(ImageDescriptor(), -1) << row.scenario;
        if (row.status == 0) continue;
        EXPECT_THAT(out, EndsWith("\nTimed out\n")) << row.scenario;
        EXPECT_EQ(Device().resets, 0u) << row.scenario;  // no reset after a failure
    }
}

TEST_F(GateArrayTest, ADeviceThatKeepsAskingEndsTheStage) {
    // 2 blocks: three passes and 100 more are 106 requests, answered or not.
    auto list = [](const char* request, int count) {
        std::string text = "ga_requests = ";
        for (int i = 0; i < count; ++i) text += std::string(i ? ", " : "") + request;
        return text;
    };
    UseImage(64, list("000001", 106));
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);  // never at the last block
    EXPECT_THAT(Output(), Not(HasSubstr("kept asking")));
    EXPECT_EQ(Answers().size(), 106u);

    UseImage(64, list("000001", 107));
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), EndsWith(" Programming:   1 %\r\nthe QVM7316 kept asking for gate-array blocks: "
                                   "107 requests for 2 blocks\n"));
    EXPECT_EQ(Answers().size(), 106u);
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(ImageDescriptor(), -1);
    EXPECT_EQ(Device().resets, 0u);

    UseImage(64, list("000000", 107));  // ignored requests count as well
    EXPECT_EQ(ProgramGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr("\nthe QVM7316 kept asking for gate-array blocks: 107 requests for 2 blocks\n"));
    EXPECT_TRUE(Answers().empty());

    // In erase mode too: a device that asks for block 1 for ever.
    UseImage(3200);
    AskForEver();
    EXPECT_EQ(EraseGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), EndsWith("MaxSize = 3200\nthe QVM7316 kept asking for gate-array blocks: "
                                   "401 requests for 100 blocks\n"));
    EXPECT_EQ(Answers().size(), 400u);
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(ImageDescriptor(), -1);
}

TEST_F(GateArrayTest, ShortWriteIsReportedTheAnswerStillCountsAndTheStageFails) {
    UseImage(3200, "ga_short_write = 3");
    EXPECT_EQ(ProgramGateArray(), USB_WRITE_FAILURE);
    std::string out = Output();
    EXPECT_THAT(out, HasSubstr("MaxSize = 3200\nwrong size of UsbBytesWritten to USB\n Programming:  99 %\r"));
    EXPECT_THAT(out, HasSubstr("\nTimed out\n\nFinished Programming\nReseting Processor\nProcessor reset.....done\n"));
    EXPECT_EQ(Answers().size(), 200u);  // both passes served in full
    EXPECT_FALSE(Device().open);
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
    // Answers every 2 ms (the chip's timer) until the 50th read fails.
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F4", "400 C0", "2696 E4", "2896 C0"));
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

    // A command byte lost at the reset: the reset goes on, the stage fails.
    UseImage(3200, "fail = FT_Write 203");
    EXPECT_EQ(ProgramGateArray(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Reseting Processor\nUSB Write Failed\nProcessor reset.....done\n"));

    UseImage(3200, "fail = FT_Close 1");
    EXPECT_EQ(ProgramGateArray(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Processor reset.....done\nClose Failed\nUSB_CLOSE_FAILURE\n"));
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
    // Answers at 600 to 606, 2 ms apart (the chip's timer); 2000 ms of
    // silence; 100 x 500 ms; the report read waits its whole 10000 ms for 22
    // bytes; the reset.
    EXPECT_THAT(CommandWrites(), ElementsAre("200 F1", "400 C0", "62606 E4", "62806 C0"));
    auto trace = Trace();
    EXPECT_EQ(trace[trace.size() - 5].rest, "10000 0 = 0");
    EXPECT_EQ(trace[trace.size() - 5].ms, 52606u);
    EXPECT_EQ(g_stepCounter, 4);
    EXPECT_THAT(ShownValues(), ::testing::IsSupersetOf({1, 2, 3, 4}));
    EXPECT_EQ(Device().gateArray.erases, 1u);
    EXPECT_FALSE(Device().open);
}

TEST_F(GateArrayTest, EraseServesTheBlockThatStartsAtTheImagesLastByte) {
    // 33 bytes: the device asks for 1 and 33, and erases once it has both.
    std::string image = UseImage(33);
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Answers(), ElementsAre(AnswerFor(image, 1), AnswerFor(image, 33)));
    EXPECT_EQ(Device().gateArray.erases, 1u);
}

TEST_F(GateArrayTest, EraseReportIsCutToTwentyOneBytesStopsAtAZeroByteOrIsMissing) {
    // Without a report the device has not confirmed its erase: the stage
    // winds down as always, and fails.
    const std::string after =
        "\nNo erase report from the QVM7316: the gate array's erase is not confirmed\nReseting Processor\n";
    UseImage(3200, "ga_report = \"ABCDEFGHIJKLMNOPQRSTUVWXYZ\"");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r\nABCDEFGHIJKLMNOPQRSTUReseting Processor\n"));

    UseImage(3200, "ga_report = \"GA\\0erase\\r\\n\"");
    EXPECT_EQ(EraseGateArray(), 0);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r\nGAReseting Processor\n"));

    UseImage(3200, "ga_report = none");
    EXPECT_EQ(EraseGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r" + after));

    // A report later than the wait and the read: nothing, and the reset
    // stops the device from sending it.
    UseImage(3200, "ga_erase_ms = 70000");
    EXPECT_EQ(EraseGateArray(), USB_TIMED_OUT);
    EXPECT_THAT(Output(), HasSubstr(" 100 % done\r" + after));
    EXPECT_TRUE(Device().toHost.empty());
}

TEST_F(GateArrayTest, EraseGoesOnAfterAReadOrWriteFailureInTheRequests) {
    // A request that could not be read may have gone unanswered: the erase
    // goes ahead, the stage fails at its end.
    UseImage(3200, "fail = FT_Read 2");
    EXPECT_EQ(EraseGateArray(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nUSB Read Failed\nErasing GateArray\n"));

    // An answer the device did not get: the erase goes ahead, the stage fails at its end.
    UseImage(3200, "fail = FT_Write 3");  // the first answer
    EXPECT_EQ(EraseGateArray(), USB_WRITE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("MaxSize = 3200\nUSB Write Failed\nErasing GateArray\n"));
    EXPECT_EQ(Device().gateArray.erases, 0u);  // it waits for the block it never got
    EXPECT_EQ(g_stepCounter, 6);               // both waits' ticks, none at either end

    UseImage(3200, "fail = FT_Read 6");  // the report
    EXPECT_EQ(EraseGateArray(), USB_READ_FAILURE);
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
    std::string_view held;
    ASSERT_TRUE(TakeGateArrayImage(held));
    std::int32_t n = 0;
    int requests = 0;
    while (ReceiveBlockRequest(n) == RequestResult::Received) {
        ASSERT_TRUE(AcceptBlockRequest(n));
        if (++requests != 15) {
            ASSERT_TRUE(AnswerBlockRequest(held, n));
            continue;
        }
        // Block 5 of the verifying pass, answered with one digit wrong.
        FormatImageBlock(held, n - 1);
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
    // Longer than the stage waits: its reset comes first, and without the
    // report the stage fails.
    WriteFile("GEN.dat", Image(3200));
    Start("ga_erase_ms = 70000");
    EXPECT_EQ(EraseGateArray(), USB_TIMED_OUT);
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
