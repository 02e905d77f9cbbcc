// A run that cannot succeed stops before it touches the device; what a run
// sends is what its check read, whatever happens to the files meanwhile; a
// run leaves a record of itself; interrupts do not cut a write short by
// accident.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "hex_gen.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "sim/device.h"
#include "test_support.h"
#include "update/run_update.h"

using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A backend around the traced emulator that runs an action before the
// first write at which its condition on the device holds.
struct Hook {
    std::function<bool()> when;
    std::function<void()> action;
    bool done = false;
};
std::vector<Hook> g_hooks;
const D2xxOps* g_inner = nullptr;
D2xxOps g_hooked;

FT_STATUS WINAPI HookedWrite(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written) {
    for (Hook& hook : g_hooks) {
        if (!hook.done && hook.when()) {
            hook.done = true;
            hook.action();
        }
    }
    return g_inner->Write(h, buffer, count, written);
}

class SafeRunTest : public DeviceTest {
  protected:
    void TearDown() override {
        g_hooks.clear();
        CloseRunLog();
        DeviceTest::TearDown();
    }
    // Runs `action` before the first write at which `when` holds.
    void At(std::function<bool()> when, std::function<void()> action) {
        if (g_hooks.empty()) {
            g_inner = SelectedD2xx();
            g_hooked = *g_inner;
            g_hooked.Write = HookedWrite;
            SelectD2xx(&g_hooked);
        }
        g_hooks.push_back({std::move(when), std::move(action)});
    }
    std::function<bool()> PagesProgrammed(std::uint32_t n) {
        return [this, n] { return Device().prom.pagePrograms >= n; };
    }
};

}  // namespace

// ---- The image check ----

TEST_F(SafeRunTest, UnsafeImagesAreRefusedBeforeAnyDeviceCall) {
    const std::string endRecord = HexRecord(0, 0x01, "") + "\r\n";
    struct Case {
        const char* what;
        std::function<void()> spoil;
        int status;
        const char* line;
    } cases[] = {
        {"no gen.hex", [this] { std::filesystem::remove(Dir() / "gen.hex"); }, GEN_HEX_OPEN_FAILURE,
         "failed to open gen.hex\nNo such file or directory\n"},
        {"empty gen.hex", [this] { WriteFile("gen.hex", ""); }, GEN_HEX_OPEN_FAILURE,
         "gen.hex: no end-of-file record\n"},
        {"records of 32 bytes",
         [&, this] { WriteFile("gen.hex", HexRecord(0, 0, std::string(32, 'x')) + "\r\n" + endRecord); },
         GEN_HEX_OPEN_FAILURE, "gen.hex:1: record of 32 data bytes"},
        {"a character that is no digit", [&, this] { WriteFile("gen.hex", ":0400000001G20304F2\r\n" + endRecord); },
         GEN_HEX_OPEN_FAILURE, "gen.hex:1:"},
        {"gen.hex cut short", [this] { WriteFile("gen.hex", ReadFile("gen.hex").substr(0, 1000)); },
         GEN_HEX_OPEN_FAILURE, "gen.hex"},
        {"gn.hex a link", [this] { std::filesystem::create_symlink(Dir() / "gen.hex", Dir() / "gn.hex"); },
         GN_HEX_OPEN_FAILURE, "failed to open gn.hex\nit is a symbolic link, which is not followed\n"},
        {"no genprom.hex", [this] { std::filesystem::remove(Dir() / "genprom.hex"); }, PROM_HEX_OPEN_FAILURE,
         "failed to open genprom.hex\n"},
        {"genprom.hex a folder",
         [this] {
             std::filesystem::remove(Dir() / "genprom.hex");
             std::filesystem::create_directory(Dir() / "genprom.hex");
         },
         PROM_HEX_OPEN_FAILURE, "failed to open genprom.hex\nit is a folder, not a file\n"},
        {"empty genprom.hex", [this] { WriteFile("genprom.hex", ""); }, PROM_HEX_OPEN_FAILURE,
         "genprom.hex: no page holds data\n"},
        {"random bytes as genprom.hex", [this] { WriteFile("genprom.hex", "\x13\x99zz\r\n"); }, PROM_HEX_OPEN_FAILURE,
         "genprom.hex:1:"},
        {"65,537 pages",
         [this] {
             std::string pages;
             for (int i = 0; i < 65537; ++i) pages += "00\r\n";
             WriteFile("genprom.hex", pages);
         },
         PROM_HEX_OPEN_FAILURE, "genprom.hex is larger than the PROM\n"},
        {"GEN.dat beyond what the device asks for", [this] { WriteFile("GEN.dat", std::string(1005000, 'G')); },
         GEN_DAT_OPEN_FAILURE, "GEN.dat: 1005000 bytes; the device can ask for at most 1000000"},
        // Files too large are refused by their size, unread: a terabyte, read,
        // would take the test down.
        {"gen.hex beyond 16 MiB", [this] { std::filesystem::resize_file(Dir() / "gen.hex", (16u << 20) + 1); },
         GEN_HEX_OPEN_FAILURE, "gen.hex: 16777217 bytes; a firmware image is at most 16777216 (16 MiB)"},
        {"genprom.hex of a terabyte",
         [this] { std::filesystem::resize_file(Dir() / "genprom.hex", std::uint64_t{1} << 40); }, PROM_HEX_OPEN_FAILURE,
         "genprom.hex: 1099511627776 bytes; the PROM's 65536 pages take at most 33685504"},
        {"GEN.dat a pipe",
         [this] {
             std::filesystem::remove(Dir() / "GEN.dat");
             mkfifo((Dir() / "GEN.dat").c_str(), 0600);
         },
         GEN_DAT_OPEN_FAILURE, "failed to open GEN.dat\nit is not a regular file (a pipe or a device)\n"},
    };
    for (const Case& c : cases) {
        CopySamples();
        c.spoil();
        Start();
        EXPECT_EQ(UpdateWorker(), -1) << c.what;
        EXPECT_EQ(LastFailedStatus(), c.status) << c.what;
        std::string out = Output();
        EXPECT_THAT(out, HasSubstr(c.line)) << c.what;
        EXPECT_THAT(out, EndsWith("failed in image check: " + std::string(StatusName(c.status)) + " (" +
                                  std::to_string(c.status) + ")\n" + kDeviceUnchanged + "\n"))
            << c.what;
        EXPECT_TRUE(Trace().empty()) << c.what << ": no D2XX call";
        for (const char* name : {"gen.hex", "gn.hex", "genprom.hex", "GEN.dat"})
            std::filesystem::remove_all(Dir() / name);
    }
}

TEST_F(SafeRunTest, EveryFailureIsListedAndTheFirstFileDecides) {
    CopySamples();
    WriteFile("genprom.hex", "0\r\n");
    std::filesystem::remove(Dir() / "GEN.dat");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), PROM_HEX_OPEN_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("genprom.hex:1: odd number of hexadecimal digits (1)\n"
                                    "genprom.hex: no page holds data\n"
                                    "failed to open GEN.dat\nNo such file or directory\n"));
    EXPECT_THAT(DisplayEvents().back(), EndsWith("| genprom.hex:1: odd number of hexadecimal digits (1)"));
}

// ---- What is sent is what was checked ----

TEST_F(SafeRunTest, ImagesChangedOnDiskDuringTheRunChangeNothingSent) {
    CopySamples();
    Start();
    ASSERT_EQ(UpdateWorker(), 0);
    std::string error;
    ASSERT_TRUE(sim::DumpDevice(Device(), (Dir() / "untouched").string(), error)) << error;
    const std::string untouchedLog = Output();

    // Each image replaced after the check: gen.hex before its conversion,
    // gn.hex between the conversion and the processor programming,
    // genprom.hex and GEN.dat while their stages send them.
    std::filesystem::remove(Dir() / "gn.hex");
    Start();
    const std::string otherFirmware = HexRecord(0, 0, "other") + "\r\n" + HexRecord(0, 0x01, "") + "\r\n";
    At([] { return true; }, [&, this] { WriteFile("gen.hex", otherFirmware); });
    At([this] { return std::filesystem::exists(Dir() / "gn.hex"); }, [&, this] { WriteFile("gn.hex", otherFirmware); });
    At(PagesProgrammed(5), [this] { WriteFile("genprom.hex", "00\r\n00\r\n"); });
    At([this] { return Device().gateArray.answersReceived > 100; },
       [this] { WriteFile("GEN.dat", std::string(32000, 'Q')); });
    ASSERT_EQ(UpdateWorker(), 0);
    for (const Hook& hook : g_hooks) EXPECT_TRUE(hook.done);

    // The device holds the checked images, and the log is a good run's.
    ASSERT_TRUE(sim::DumpDevice(Device(), (Dir() / "changed").string(), error)) << error;
    for (const char* part : {"processor.bin", "prom.bin", "gatearray.bin"})
        EXPECT_TRUE(ReadFile(std::string("changed/") + part) == ReadFile(std::string("untouched/") + part)) << part;
    EXPECT_THAT(ReadFile("changed/device.txt"), HasSubstr("gate_array_verify: matched\n"));
    EXPECT_EQ(Output(), untouchedLog);
}

// ---- The run log file ----

TEST_F(SafeRunTest, TheRunLogRecordsEveryRunAndAppends) {
    CopySamples();
    std::string path = (Dir() / "qvm7316-update.log").string();
    ASSERT_TRUE(OpenRunLog(path));
    Start();
    ASSERT_EQ(UpdateWorker(), 0);
    Start("devices =");
    ASSERT_EQ(UpdateWorker(), -1);
    CloseRunLog();
    std::string log = ReadFile("qvm7316-update.log");
    std::string sha = "[0-9a-f]{64}";
    EXPECT_THAT(log,
                ContainsRegex(
                    "^=== [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} qvm7316-update [0-9.]+ update, driver emulator, latency timer 2 ms: gen.hex "
                    "4855 " +
                    sha + " genprom.hex 24672 " + sha + " GEN.dat 32000 " + sha +
                    "\n"
                    // The images as the technician saw them before the run.
                    "gen.hex: 4855 bytes, SHA-256 [0-9a-f]{12}, data 0x0000-0x8004\n"
                    "genprom.hex: 24672 bytes, SHA-256 [0-9a-f]{12}\n"
                    "GEN.dat: 32000 bytes, SHA-256 [0-9a-f]{12}\n"
                    "1 FTDI"));
    // A progress series is one line in its last state.
    EXPECT_THAT(log, AllOf(HasSubstr("\n PROM is 100 % erased\nPROM is fully Erased\n"), Not(HasSubstr(" 99 % erased")),
                           Not(HasSubstr("\r"))));
    EXPECT_THAT(log, HasSubstr("Processor reset.....done\n=== end: succeeded after 223.9 s\n"));
    EXPECT_THAT(log, EndsWith("no QVM7316 found - exiting\n"
                              "failed in ConnectToProcessor: USB_OPEN_FAILURE (28)\n" +
                              std::string(kDeviceUnchanged) +
                              "\n=== end: failed in ConnectToProcessor: "
                              "USB_OPEN_FAILURE (28) after 0.2 s\n"));
}

// ---- Interrupts ----

TEST_F(SafeRunTest, ASecondCtrlCWithinFiveSecondsStopsAtTheNextDeviceCall) {
    CopySamples();
    Start();
    At(PagesProgrammed(10), [] { std::raise(SIGINT); });
    At(PagesProgrammed(20), [] { std::raise(SIGINT); });
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), INTERRUPTED);
    EXPECT_EQ(Device().prom.pagePrograms, 20u);  // the write in progress was not cut short
    EXPECT_THAT(Output(),
                AllOf(HasSubstr("Ctrl+C: stopping the update now may leave the QVM7316 unusable."),
                      EndsWith("\nstopped in ProgramProm: INTERRUPTED (130)\n" + std::string(kRunAgain) + "\n")));
    EXPECT_EQ(Trace().back().call, "FT_Close");
    EXPECT_FALSE(Device().open);
}

TEST_F(SafeRunTest, ACtrlCMoreThanFiveSecondsLaterOnlyWarnsAgain) {
    CopySamples();
    Start();
    At(PagesProgrammed(10), [] { OnInterrupt(); });
    At([this] { return Device().comChecks > 0; }, [] { OnInterrupt(); });
    EXPECT_EQ(UpdateWorker(), 0);
    std::string out = Output();
    std::size_t first = out.find("Ctrl+C: stopping");
    std::size_t second = out.find("Ctrl+C: stopping", first + 1);
    ASSERT_NE(second, std::string::npos);
    // Each stands on a line of its own, also after a progress line.
    EXPECT_EQ(out[first - 1], '\n');
    EXPECT_EQ(out[second - 1], '\n');
}

TEST_F(SafeRunTest, SigtermStopsAtOnce) {
    CopySamples();
    Start();
    At(PagesProgrammed(10), [] { std::raise(SIGTERM); });
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), TERMINATED);
    EXPECT_THAT(Output(), HasSubstr("stopped in ProgramProm: TERMINATED (143)\n"));
    EXPECT_EQ(Trace().back().call, "FT_Close");
}

TEST_F(SafeRunTest, AScenarioSendsTheStopAtTheCallItNames) {
    // SIGTERM during the 10th transmit-queue poll: the next call stops the run.
    CopySamples();
    Start("terminate_after = FT_GetStatus 10");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), TERMINATED);
    EXPECT_THAT(Output(), HasSubstr("stopped in ProgramProm: TERMINATED (143)\n"));
    auto trace = Trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2].call, "FT_GetStatus");
    EXPECT_EQ(trace.back().call, "FT_Close");

    // Two Ctrl+C within five seconds stop it; one only warns.
    Start("interrupt_after = FT_GetStatus 10\ninterrupt_after = FT_GetStatus 20");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), INTERRUPTED);
    EXPECT_THAT(Output(),
                AllOf(HasSubstr("Ctrl+C: stopping"), HasSubstr("stopped in ProgramProm: INTERRUPTED (130)\n")));
    Start("interrupt_after = FT_GetStatus 10");
    EXPECT_EQ(UpdateWorker(), 0);
    EXPECT_THAT(Output(), HasSubstr("Ctrl+C: stopping"));
}

TEST_F(SafeRunTest, AClosingConsoleWindowIsRecordedAndTheDeviceClosed) {
    CopySamples();
    Start();
    std::string path = (Dir() / "run.log").string();
    ASSERT_TRUE(OpenRunLog(path));
    // The worker is held inside a write, as a slow device would hold it, while
    // the window closes.
    std::atomic<bool> held{false}, release{false};
    At(PagesProgrammed(10), [&] {
        held = true;
        while (!release) std::this_thread::yield();
    });
    int result = 0;
    std::thread worker([&] { result = UpdateWorker(); });
    while (!held) std::this_thread::yield();
    std::thread closing([] { OnConsoleClosing("the console window was closed", 60000); });
    while (!StopRequested()) std::this_thread::yield();
    release = true;
    closing.join();
    worker.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(LastFailedStatus(), TERMINATED);
    EXPECT_FALSE(Device().open);
    EXPECT_THAT(ReadFile("run.log"),
                AllOf(HasSubstr("=== the console window was closed: the update is stopped and the device closed\n"),
                      HasSubstr("stopped in ProgramProm: TERMINATED (143)\n")));
}

// ---- The console program ----

TEST_F(SafeRunTest, ConsoleCheckSummarisesOrListsEveryFailure) {
    CopySamples();
    auto run = RunConsole("-C " + Dir().string() + " --check", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.output, AllOf(HasSubstr("genprom.hex: 48 pages, 12288 bytes\n"), EndsWith("images OK\n"),
                                  Not(HasSubstr("Warning!"))));
    std::filesystem::remove(Dir() / "gen.hex");
    WriteFile("GEN.dat", "");
    run = RunConsole("-C " + Dir().string() + " --check", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, GEN_HEX_OPEN_FAILURE);
    EXPECT_THAT(run.output, AllOf(HasSubstr("failed to open gen.hex\n"), HasSubstr("GEN.dat: empty\n"),
                                  Not(HasSubstr("Programming failed")), Not(HasSubstr("images OK"))));
    EXPECT_THAT(ReadFile("qvm7316-update.log"), HasSubstr("=== end: images OK after"));
}

TEST_F(SafeRunTest, AClosedOutputOrAnUnwritableRunLogChangesNothing) {
    CopySamples();
    std::string command = "bash -c '" + std::string(QVM7316_CONSOLE_EXE) + " -C " + Dir().string() +
                          " --simulate --yes | true; exit ${PIPESTATUS[0]}'";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_THAT(ReadFile("qvm7316-update.log"), EndsWith("Programming finished successfully!\n"
                                                         "=== end: succeeded after 223.9 s\n"));

    auto run = RunConsole("-C " + Dir().string() + " --simulate --yes --log no/such/folder/x.log", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.output, HasSubstr("cannot write the run log no/such/folder/x.log: No such file or directory"));
}
