// What the desk may do during the half-hour run: a terminal that goes
// away, Ctrl+C pressed while the update waits in a long read, a console
// window closed or a session ended while a stage holds the device, a
// console that takes no output; and what the run leaves on the disk.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/run_update.h"

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A backend around the traced emulator that runs an action before the
// first read or write at which its condition holds (the call's size is
// given to it), then passes the call on.
struct Hook {
    std::function<bool(DWORD)> when;
    std::function<void()> action;
    bool onRead;
    bool done = false;
};
std::vector<Hook> g_hooks;
const D2xxOps* g_inner = nullptr;
D2xxOps g_hooked;

void RunHooks(bool read, DWORD count) {
    for (Hook& hook : g_hooks) {
        if (hook.done || hook.onRead != read || !hook.when(count)) continue;
        hook.done = true;
        hook.action();
    }
}
FT_STATUS WINAPI HookedRead(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD got) {
    RunHooks(true, count);
    return g_inner->Read(h, buffer, count, got);
}
FT_STATUS WINAPI HookedWrite(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written) {
    RunHooks(false, count);
    return g_inner->Write(h, buffer, count, written);
}

// The gate-array erase's report read: the update's longest wait (10 s).
constexpr DWORD kEraseReportRead = 22;

// Waits (in real time, at most 10 s) until `done` holds: for another
// thread of the program, not for the update's clock.
bool Eventually(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

class DeskTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        CopySamples();
        Start();  // the gate array takes its length from GEN.dat
    }
    void TearDown() override {
        g_hooks.clear();
        CloseRunLog();
        DeviceTest::TearDown();
    }

  public:
    void Before(bool read, std::function<bool(DWORD)> when, std::function<void()> action) {
        if (g_hooks.empty()) {
            g_inner = SelectedD2xx();
            g_hooked = *g_inner;
            g_hooked.Read = HookedRead;
            g_hooked.Write = HookedWrite;
            SelectD2xx(&g_hooked);
        }
        g_hooks.push_back({std::move(when), std::move(action), read});
    }
    void BeforeEraseReport(std::function<void()> action) {
        Before(
            true, [](DWORD count) { return count == kEraseReportRead; }, std::move(action));
    }
    void BeforePageWrite(std::uint32_t pages, std::function<void()> action) {
        Before(
            false, [this, pages](DWORD) { return Device().prom.pagePrograms >= pages; }, std::move(action));
    }
    std::string RunLog() { return ReadFile("run.log"); }
    std::string LogSoFar() { return Output(); }
    void OpenTheRunLog() { ASSERT_TRUE(OpenRunLog((Dir() / "run.log").string())); }
    // FT_Close calls after the last FT_OpenEx.
    int ClosesOfTheLastConnection() {
        int closes = 0;
        for (const TraceLine& t : Trace()) {
            if (t.call == "FT_OpenEx") closes = 0;
            if (t.call == "FT_Close") ++closes;
        }
        return closes;
    }
};

constexpr char kWarning[] = "Ctrl+C: stopping the update now may leave the QVM7316 unusable.";

}  // namespace

// ---- A terminal that is gone ----

TEST_F(DeskTest, AHangUpIsRecordedAndTheUpdateGoesOnToItsEnd) {
    OpenTheRunLog();
    struct sigaction before {};
    sigaction(SIGHUP, nullptr, &before);
    BeforePageWrite(10, [] { std::raise(SIGHUP); });
    EXPECT_EQ(UpdateWorker(), 0);
    EXPECT_EQ(Device().prom.pagePrograms, 48u);
    EXPECT_THAT(RunLog(), AllOf(HasSubstr("=== the terminal was closed (SIGHUP): the update goes on"),
                                EndsWith("=== end: succeeded after 223.9 s\n")));
    // Outside a run a hang-up ends the program again, as it did before.
    struct sigaction after {};
    sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// ---- Ctrl+C ----

TEST_F(DeskTest, CtrlCIsTimedWhenPressedAndWarnsAtOnce) {
    OpenTheRunLog();
    // Two presses 8 s apart while the update waits for the erase report:
    // more than 5 s apart, so each only warns, and the first warning shows
    // while the update still waits.
    bool warnedWhileWaiting = false;
    BeforeEraseReport([&] {
        OnInterrupt();
        warnedWhileWaiting = Eventually([this] { return RunLog().find(kWarning) != std::string::npos; });
        SleepUntilMs(NowMs() + 8000);
        OnInterrupt();
    });
    EXPECT_EQ(UpdateWorker(), 0);
    EXPECT_TRUE(warnedWhileWaiting);
    std::string log = RunLog();
    std::size_t first = log.find(kWarning);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find(kWarning, first + 1), std::string::npos);
}

TEST_F(DeskTest, ASecondCtrlCWithinFiveSecondsOfTheFirstStops) {
    BeforeEraseReport([] {
        OnInterrupt();
        SleepUntilMs(NowMs() + 4900);
        OnInterrupt();
    });
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_THAT(Output(), EndsWith("stopped in EraseGateArray: INTERRUPTED (130)\n" + std::string(kRunAgain) + "\n"));
    EXPECT_FALSE(Device().open);
}

// ---- A console window closed, a session ended, while a stage holds the device ----

TEST_F(DeskTest, AnEndThatCannotWaitClosesTheHeldDeviceOnceFromItsOwnThread) {
    struct Case {
        const char* where;
        std::function<void(DeskTest&, std::function<void()>)> holdAt;
        const char* stage;
    } cases[] = {
        {"inside the erase report's read", [](DeskTest& t, auto hold) { t.BeforeEraseReport(hold); }, "EraseGateArray"},
        {"inside a page's write", [](DeskTest& t, auto hold) { t.BeforePageWrite(10, hold); }, "ProgramProm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        CopySamples();
        Start();
        OpenTheRunLog();
        // The worker is held in the call, as a driver that waits would hold
        // it, while the handler gives up waiting for it.
        std::atomic<bool> held{false}, release{false};
        c.holdAt(*this, [&] {
            held = true;
            while (!release) std::this_thread::yield();
        });
        int result = 0;
        std::thread worker([&] { result = UpdateWorker(); });
        ASSERT_TRUE(Eventually([&] { return held.load(); }));
        OnConsoleClosing("the console window was closed", 100);
        EXPECT_FALSE(Device().open);
        release = true;
        worker.join();
        g_hooks.clear();
        EXPECT_EQ(result, -1);
        EXPECT_EQ(ClosesOfTheLastConnection(), 1);
        std::string stopped = std::string("stopped in ") + c.stage + ": TERMINATED (143)";
        EXPECT_THAT(RunLog(),
                    AllOf(HasSubstr("=== the console window was closed: the update is stopped and the device closed\n"
                                    "=== the update did not stop within 0.1 s: the device is closed from outside "
                                    "it, and the program ends\n"),
                          HasSubstr(stopped + "\n"), HasSubstr("=== end: " + stopped)));
        CloseRunLog();
        std::filesystem::remove(Dir() / "run.log");
    }
}

// ---- What the run leaves on the disk ----

TEST_F(DeskTest, EachStageEndHandsTheTraceToTheSystem) {
    // What the file holds when the PROM's first page is sent, written out by
    // no one but the stages' ends: every call up to the erase's close (the
    // fifth close of the run: the handshake's, the processor's, the two of
    // its reset, the erase's).
    std::string onDisk;
    Before(
        false, [this](DWORD count) { return count > 1 && Device().prom.chipErases > 0; },
        [&] { onDisk = ReadFile("trace.txt"); });
    EXPECT_EQ(UpdateWorker(), 0);
    std::vector<std::string> closes;
    for (const TraceLine& t : Trace())
        if (t.call == "FT_Close") closes.push_back(std::to_string(t.ms) + " FT_Close = 0\n");
    ASSERT_GE(closes.size(), 5u);
    EXPECT_THAT(onDisk, HasSubstr(closes[4]));
}

TEST_F(DeskTest, AFailedRunIsRecordedBeforeTheDisplayMayHoldTheWorker) {
    // What a display that shows a box would find when it may show it.
    static std::string runLogThen, logThen, detailThen;
    static bool runInProgressThen = true;
    static DeskTest* test = nullptr;
    test = this;
    static DisplayOps boxes = *RecordingDisplay();
    boxes.RunRecorded = [](int, const char*, const char* detail) {
        runLogThen = test->RunLog();
        logThen = test->LogSoFar();
        detailThen = detail;
        runInProgressThen = RunInProgress();
    };
    SelectDisplay(&boxes);
    OpenTheRunLog();
    Start("devices =");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_THAT(runLogThen, EndsWith("=== end: failed in ConnectToProcessor: USB_OPEN_FAILURE (28) after 0.2 s\n"));
    EXPECT_THAT(logThen, EndsWith("failed in ConnectToProcessor: USB_OPEN_FAILURE (28)\n" +
                                  std::string(kDeviceUnchanged) + "\n"));
    EXPECT_EQ(detailThen, "no QVM7316 found - exiting");
    EXPECT_FALSE(runInProgressThen) << "a session's end is no longer refused";

    // When bytes reached the device, the box's second line is the advice.
    Start("fail = FT_Write 40");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(detailThen, kRunAgain);
}

// ---- A console that takes no output ----

TEST_F(DeskTest, AConsoleThatTakesNoOutputHoldsNothingBack) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_GT(fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096), 0);
    std::FILE* console = fdopen(pipeEnds[1], "w");
    LogToBuffer(nullptr);
    OpenTheRunLog();
    StartLogWriter(console, 0);
    // Nobody reads: every Log returns all the same.
    const int kLines = 5000;
    for (int i = 0; i < kLines; ++i) Log("line %05d of the log, as long as a line of the update's log is\n", i);
    std::mutex shownLock;
    std::string shown;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> lock(shownLock);
            shown.append(buffer, n);
        }
    });
    // The console takes output again: once it has caught up, it says how
    // many lines it missed, and the next line follows.
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(shownLock);
        return shown.find("log lines not shown here") != std::string::npos;
    }));
    Log("after the stall\n");
    StopLogWriter();
    std::fclose(console);
    reader.join();
    CloseRunLog();

    std::size_t note = shown.find(" log lines not shown here: the console took no output in time");
    ASSERT_NE(note, std::string::npos);
    std::size_t noteStart = shown.rfind('\n', note) + 1;
    unsigned long leftOut = std::stoul(shown.substr(noteStart + std::strlen("qvm7316-update: ")));
    EXPECT_GT(leftOut, 0u);
    EXPECT_THAT(shown, AllOf(testing::StartsWith("line 00000 of the log"), EndsWith("after the stall\n")));
    int shownLines = static_cast<int>(std::count(shown.begin(), shown.end(), '\n'));
    EXPECT_EQ(shownLines - 1 + static_cast<int>(leftOut), kLines + 1) << "every line is shown or counted";
    // The run log file has every line.
    std::string runLog = RunLog();
    EXPECT_EQ(std::count(runLog.begin(), runLog.end(), '\n'), kLines + 1);
}

// ---- Nothing is touched before the run starts ----

namespace {

// The command line prefix that runs the console program as a user who may
// not write where root may: nobody, when the tests run as root.
bool Unprivileged(std::string& prefix) {
    if (geteuid() != 0) return true;
    struct passwd* nobody = getpwnam("nobody");
    if (!nobody || access("/usr/bin/setpriv", X_OK) != 0) return false;
    prefix = "/usr/bin/setpriv --reuid=" + std::to_string(nobody->pw_uid) +
             " --regid=" + std::to_string(nobody->pw_gid) + " --clear-groups ";
    return true;
}

}  // namespace

TEST_F(DeskTest, ATraceIsReplacedOnlyWhenTheRunStarts) {
    WriteFile("field.trace", "# a recording of a run in the field\n");
    std::string args = "-C " + Dir().string() + " --simulate --trace field.trace";
    // Not confirmed: the recording is still there, and no run log was begun.
    auto run = RunConsole(args, Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(ReadFile("field.trace"), "# a recording of a run in the field\n");
    EXPECT_FALSE(std::filesystem::exists(Dir() / "qvm7316-update.log"));
    // Confirmed: the run's own trace replaces it.
    run = RunConsole(args + " --yes", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(ReadFile("field.trace"), testing::StartsWith("# qvm7316-update trace "));
    // A trace that cannot be created is a usage error before the warning.
    run = RunConsole(args + " --trace no/such/folder/t.trace", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.output, AllOf(HasSubstr("cannot write the trace file 'no/such/folder/t.trace': No such file or "
                                            "directory"),
                                  Not(HasSubstr("Warning!"))));
}

TEST_F(DeskTest, AFolderTheUserMayNotWriteIsFoundBeforeTheDevice) {
    std::string as;
    if (!Unprivileged(as)) GTEST_SKIP() << "no unprivileged user to run as (setpriv and the user nobody are needed)";
    // A folder anyone may read and only root may write, with the images.
    std::filesystem::permissions(Dir(), std::filesystem::perms(0755));
    std::filesystem::create_directory(Dir() / "locked");
    for (const char* name : {"gen.hex", "genprom.hex", "GEN.dat"})
        std::filesystem::rename(Dir() / name, Dir() / "locked" / name);
    auto runThere = [&](const std::string& args) {
        std::string command = as + QVM7316_CONSOLE_EXE + " --yes --simulate -C " + (Dir() / "locked").string() + " " +
                              args + " >'" + (Dir() / "out.txt").string() + "' 2>&1 </dev/null";
        int status = std::system(command.c_str());
        return ProgramRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile("out.txt")};
    };

    ProgramRun run = runThere("");
    EXPECT_EQ(run.exitCode, GN_HEX_OPEN_FAILURE) << run.output;
    EXPECT_THAT(run.output,
                AllOf(HasSubstr("cannot write the run log qvm7316-update.log: Permission denied; the update goes on "
                                "without it"),
                      HasSubstr("failed to open gn.hex\nPermission denied\n"),
                      HasSubstr("failed in image check: GN_HEX_OPEN_FAILURE (33)"), Not(HasSubstr("FTDI device(s)"))));
    EXPECT_FALSE(std::filesystem::exists(Dir() / "locked" / "gn.hex"));

    // A trace there, or a trace file the user may not write, is a usage error
    // before anything else, and a file that is there stays as it was.
    WriteFile("locked/root.trace", "a trace of root's\n");
    for (std::string trace : {"new.trace", "root.trace"}) {
        run = runThere("--trace " + trace);
        EXPECT_EQ(run.exitCode, 2) << trace;
        EXPECT_THAT(run.output, AllOf(HasSubstr("cannot write the trace file '" + trace + "': Permission denied"),
                                      Not(HasSubstr("Warning!"))))
            << trace;
    }
    EXPECT_EQ(ReadFile("locked/root.trace"), "a trace of root's\n");
}
