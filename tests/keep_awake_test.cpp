// Keeping the machine awake on Linux: the program asks logind for an
// inhibitor lock over the system bus. Here the system bus is a dbus-daemon
// of the test's own, and logind a stand-in on it that grants or refuses the
// lock and sees it given back.
#include "platform/keep_awake.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "test_support.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr char kDbusDaemon[] = "/usr/bin/dbus-daemon";

// A bus of the test's own, which the program takes for the system bus.
class PrivateBus {
  public:
    explicit PrivateBus(const std::filesystem::path& folder) : socket_(folder / "bus") {
        std::filesystem::path configFile = folder / "bus.conf";
        std::ofstream(configFile)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>custom</type><listen>unix:path="
            << socket_.string()
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        // The daemon writes its address once it takes connections.
        int ready[2];
        if (pipe(ready) != 0) return;
        std::string config = "--config-file=" + configFile.string();
        std::string print = "--print-address=" + std::to_string(ready[1]);
        std::string logFile = (folder / "bus.log").string();
        pid_ = fork();
        if (pid_ == 0) {
            // Its complaints (no rights to raise its file limit, say) go to a file.
            int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log >= 0) dup2(log, 2);
            close(ready[0]);
            execl(kDbusDaemon, kDbusDaemon, config.c_str(), print.c_str(), "--nofork", "--nopidfile",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        char address[256];
        ready_ = read(ready[0], address, sizeof address) > 0;
        close(ready[0]);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", Address().c_str(), 1);
    }
    ~PrivateBus() {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string Address() const { return "unix:path=" + socket_.string(); }
    bool Ready() const { return ready_; }

  private:
    std::filesystem::path socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// logind's stand-in: answers Inhibit with a lock (one end of a pipe, whose
// other end it keeps) or with the error logind gives when polkit refuses.
class StandInLogind {
  public:
    StandInLogind(const std::string& address, bool grant) : grant_(grant) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        ready_ = sd_bus_start(bus_) >= 0 && sd_bus_request_name(bus_, "org.freedesktop.login1", 0) >= 0 &&
                 sd_bus_add_object(bus_, nullptr, "/org/freedesktop/login1", OnCall, this) >= 0;
        if (ready_) thread_ = std::thread([this] { Serve(); });
    }
    ~StandInLogind() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (kept_ >= 0) close(kept_);
        // Given back before the connection closes, so that the bus has no
        // logind from here on.
        if (ready_) sd_bus_release_name(bus_, "org.freedesktop.login1");
        sd_bus_flush_close_unref(bus_);
    }
    bool Ready() const { return ready_; }
    // What the program asked for: "what who why mode".
    std::string Asked() const { return asked_; }
    // Whether the program still holds the lock it was given.
    bool LockHeld() const {
        char byte;
        return kept_ >= 0 && read(kept_, &byte, 1) != 0;
    }

  private:
    static int OnCall(sd_bus_message* call, void* self, sd_bus_error*) {
        return static_cast<StandInLogind*>(self)->Answer(call);
    }
    int Answer(sd_bus_message* call) {
        if (!sd_bus_message_is_method_call(call, "org.freedesktop.login1.Manager", "Inhibit")) return 0;
        const char *what, *who, *why, *mode;
        if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        asked_ = std::string(what) + " " + who + " " + why + " " + mode;
        if (!grant_)
            return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.AccessDenied",
                                              "Permission denied (the session is not active)");
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
        kept_ = ends[0];
        int r = sd_bus_reply_method_return(call, "h", ends[1]);
        close(ends[1]);  // the reply holds its own copy
        return r;
    }
    void Serve() {
        while (!stop_) {
            int r = sd_bus_process(bus_, nullptr);
            if (r == 0) sd_bus_wait(bus_, 20000);
            if (r < 0) return;
        }
    }

    sd_bus* bus_ = nullptr;
    bool grant_;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::string asked_;
    int kept_ = -1;
};

class KeepAwakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kDbusDaemon, X_OK) != 0)
            GTEST_SKIP() << "dbus-daemon is not installed: no bus for logind's stand-in";
        bus_ = std::make_unique<PrivateBus>(folder_.Path());
        ASSERT_TRUE(bus_->Ready());
    }
    void TearDown() override {
        LetMachineSleep();
        bus_.reset();
    }
    ScratchFolder folder_;
    std::unique_ptr<PrivateBus> bus_;
};

}  // namespace

TEST_F(KeepAwakeTest, LogindBlocksSleepUntilTheRunLetsItGo) {
    StandInLogind logind(bus_->Address(), true);
    ASSERT_TRUE(logind.Ready());
    AwakeState awake = KeepMachineAwake();
    EXPECT_TRUE(awake.kept);
    EXPECT_EQ(awake.line,
              "the machine is kept awake during the update: logind blocks sleep, shut-down, idle and the lid switch");
    EXPECT_EQ(logind.Asked(), "sleep:shutdown:idle:handle-lid-switch qvm7316-update firmware update in progress block");
    EXPECT_TRUE(logind.LockHeld());
    LetMachineSleep();
    // logind sees the lock given back once every copy of it is closed.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (logind.LockHeld() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    EXPECT_FALSE(logind.LockHeld());
}

TEST_F(KeepAwakeTest, ARefusedOrMissingLogindIsOneLineAndTheRunGoesOn) {
    const std::string notKept = "the machine is not kept awake during the update: ";
    const std::string advice = "; keep it on mains power, and from sleeping, until the update has finished";
    {
        StandInLogind logind(bus_->Address(), false);
        ASSERT_TRUE(logind.Ready());
        AwakeState awake = KeepMachineAwake();
        EXPECT_FALSE(awake.kept);
        EXPECT_EQ(
            awake.line,
            notKept + "logind refused the inhibitor lock (Permission denied (the session is not active))" + advice);
    }
    // A bus without logind on it.
    AwakeState awake = KeepMachineAwake();
    EXPECT_FALSE(awake.kept);
    EXPECT_EQ(awake.line, notKept + "logind is not running" + advice);
    // No system bus at all.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder_.Path() / "none").string()).c_str(), 1);
    awake = KeepMachineAwake();
    EXPECT_FALSE(awake.kept);
    EXPECT_THAT(awake.line, StartsWith(notKept + "logind is not running (no system bus: "));
    LetMachineSleep();  // nothing to let go
}
