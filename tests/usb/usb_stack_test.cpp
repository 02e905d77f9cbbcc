// The console program against the real USB stack: the system's libusb-1.0
// and libftdi1 in a child process, over FT232R chips emulated at the usbfs
// level (usb_bus.h) with the emulated QVM7316 behind them, on the real
// clock. A whole update ends as the same update with --simulate does, and
// the faults of a USB link each end the run with a clear line and code,
// the device closed, in bounded time.
//
// Real time: each case is kept to the smallest images that show it. The
// folders of the runs stay in QVM7316_USB_RUNS for a look at their logs
// and traces.
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/scenario.h"
#include "small_images.h"
#include "usb_bus.h"

using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWhole(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Small images: a few processor records, two PROM pages, and the fewest
// gate-array blocks (100) with which the programming stage sees its
// verifying pass reach 99 % at an update of its progress (once every 100
// answers), so that the silence after it is the end.
void WriteSmallImages(const fs::path& folder, std::size_t records) {
    for (const auto& [name, contents] : SmallImages(records, 3200)) WriteWhole(folder / name, contents);
}

// The log without the lines (ended by a line feed or a carriage return)
// that hold `marker`.
std::string WithoutLinesHolding(std::string log, const std::string& marker) {
    for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at)) {
        std::size_t start = log.find_last_of("\r\n", at);
        start = start == std::string::npos ? 0 : start + 1;
        log.erase(start, log.find_first_of("\r\n", at) + 1 - start);
        at = start;
    }
    return log;
}

// A simulated run's log without the lines that differ by driver
// (docs/libftdi.md): the vendor's transmit queue that the PROM programming
// waits on.
std::string WithoutTxBytes(const std::string& log) { return WithoutLinesHolding(log, "TxBytes: "); }

// A real run's output without the line that says the machine is not kept
// awake: it depends on the machine the test runs on (no logind in a
// container), and simulated and replayed runs never print it.
std::string WithoutAwakeLine(const std::string& output) {
    return WithoutLinesHolding(output, "qvm7316-update: the machine is not kept awake");
}

// Runs the console program in `folder` on the bus, with --yes.
ChildRun RunChild(const fs::path& folder, std::vector<std::string> args, std::chrono::seconds limit,
                  bool unprivileged = false) {
    args.insert(args.begin(), {"-C", folder.string(), "--yes"});
    return RunOnBus(QVM7316_CONSOLE_EXE, args, (folder / "console.txt").string(), limit, unprivileged);
}

// The run ended as a write the chip refused ends: in the processor
// programming, which writes first after the handshake.
void ExpectProcessorWriteFailed(const ChildRun& usb) {
    EXPECT_EQ(usb.exitCode, 27) << usb.output;
    EXPECT_THAT(usb.output, HasSubstr("USB Write Failed\n"));
    EXPECT_THAT(usb.output, HasSubstr("failed in ProgramProcessor: USB_WRITE_FAILURE (27)\n"));
}

}  // namespace

class UsbStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reason;
        if (!StartUsbBus(reason)) GTEST_SKIP() << "umockdev cannot run here: " << reason;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::path(QVM7316_USB_RUNS) / info->name();
        fs::remove_all(folder_);
        fs::create_directories(folder_ / "usb");
        previous_ = fs::current_path();
    }
    void TearDown() override {
        StopUsbBus();
        if (!previous_.empty()) fs::current_path(previous_);
    }

    fs::path Usb() const { return folder_ / "usb"; }

    // The emulated devices of `scenario`, on the real clock, each behind an
    // FT232R on the bus (with `faults` for the device of that serial). They
    // are plugged in from the last: libusb lists the device plugged in last
    // first, and so lists them in the scenario's order.
    void Attach(const std::string& scenario, const std::map<std::string, ChipFaults>& faults = {}) {
        WriteWhole(folder_ / "scenario", scenario);
        std::string error;
        ASSERT_TRUE(sim::LoadScenario((folder_ / "scenario").string(), scenario_, error)) << error;
        fs::current_path(Usb());  // the gate array's length is GEN.dat's there
        UseRealClock();
        sim::StartEmulator(scenario_, folder_.string());
        for (auto device = scenario_.devices.rbegin(); device != scenario_.devices.rend(); ++device) {
            auto f = faults.find(device->serial);
            ASSERT_TRUE(PlugFt232r(device->serial, f == faults.end() ? ChipFaults{} : f->second, error)) << error;
        }
    }

    // The same update (or --list) in virtual time against the emulated
    // devices alone: what the run through the USB stack must give.
    ChildRun Simulated(std::size_t records,
                       const std::vector<std::string>& extra = {"--dump", "dump", "--trace", "trace"}) {
        fs::path sim = folder_ / "simulate";
        fs::create_directories(sim);
        WriteSmallImages(sim, records);
        std::vector<std::string> args = {"--simulate=../scenario", "--no-log"};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunChild(sim, args, std::chrono::seconds(60));
    }

    // For a child run without root's rights: false with the reason where
    // that cannot be; the run folder then takes its files.
    bool Unprivileged(std::string& reason) {
        if (!CanRunUnprivileged(reason)) return false;
        fs::permissions(Usb(), fs::perms::all);
        return true;
    }

    // The run recorded in `folder`/trace, replayed there: the same log and
    // exit code, without divergence, however the real library paced it.
    void ExpectReplayed(const fs::path& folder, const ChildRun& recorded) {
        ChildRun replay = RunOnBus(QVM7316_CONSOLE_EXE, {"-C", folder.string(), "--replay", "trace", "--no-log"},
                                   (folder / "replay.txt").string(), std::chrono::seconds(60));
        EXPECT_EQ(replay.exitCode, recorded.exitCode) << replay.output;
        EXPECT_THAT(replay.output, ::testing::StartsWith(WithoutAwakeLine(recorded.output)));
        EXPECT_THAT(replay.output, HasSubstr("trace replayed to its end without divergence"));
    }

    // What the emulated device holds and whether the driver let go of it.
    // The bus learns that a node was closed a moment after the child ended.
    void ExpectDeviceLetGo(const std::string& serial) {
        for (int i = 0; i < 100; ++i) {
            {
                auto lock = LockUsbBus();
                if (ChipHistory(serial).openNodes == 0) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        auto lock = LockUsbBus();
        ChipRecord chip = ChipHistory(serial);
        EXPECT_EQ(chip.openNodes, 0) << "the device node is still open";
        EXPECT_EQ(chip.claims, chip.releases) << "a claim of the interface was never released";
        EXPECT_FALSE(sim::FindDevice(serial)->open) << "the emulated device is still open";
    }

    sim::Scenario scenario_;
    fs::path folder_, previous_;
};

TEST_F(UsbStackTest, WholeUpdateEndsAsTheSimulatedOneWithTheLateEraseReportPrinted) {
    // The erase report comes 12 ms after the erase stage's last request read
    // has timed out: within the latency period in which that read's last
    // look at the chip is still under way.
    const std::string scenario = "prom_erase_ms = 2000\nga_erase_ms = 2012\n";
    WriteSmallImages(Usb(), 6);
    Attach(scenario);
    ChildRun usb = RunChild(Usb(), {"--trace", "trace", "--driver=libftdi"}, std::chrono::seconds(400));
    ASSERT_FALSE(usb.hung) << usb.output;
    EXPECT_EQ(usb.exitCode, 0) << usb.output;
    ChildRun simulated = Simulated(6);
    ASSERT_EQ(simulated.exitCode, 0) << simulated.output;

    EXPECT_THAT(usb.output, HasSubstr("GA erase OK\r\nReseting Processor\n"));
    EXPECT_EQ(WithoutTxBytes(simulated.output), WithoutAwakeLine(usb.output));
    {
        auto lock = LockUsbBus();
        std::string error;
        ASSERT_TRUE(sim::DumpDevice(sim::TheDevice(), (Usb() / "dump").string(), error)) << error;
    }
    for (const char* file : {"processor.bin", "prom.bin", "gatearray.bin", "device.txt"})
        EXPECT_EQ(ReadWhole(Usb() / "dump" / file), ReadWhole(folder_ / "simulate" / "dump" / file)) << file;
    std::string trace = ReadWhole(Usb() / "trace");
    EXPECT_THAT(trace, HasSubstr("\n# driver libftdi\n"));
    // Every connection set the chip's latency timer through libftdi1.
    std::size_t settings = 0;
    for (std::size_t at = trace.find(" FT_SetLatencyTimer 2 = 0\n"); at != std::string::npos;
         at = trace.find(" FT_SetLatencyTimer 2 = 0\n", at + 1))
        ++settings;
    EXPECT_EQ(settings, 9u);
    ExpectDeviceLetGo(scenario_.devices.front().serial);
    ExpectReplayed(Usb(), usb);
}

TEST_F(UsbStackTest, AnOutEndpointThatStallsFailsTheWrite) {
    // The first record of the processor programming: the device's 7th write.
    WriteSmallImages(Usb(), 3);
    Attach("fail = FT_Write 7\n");
    ChildRun usb = RunChild(Usb(), {"--no-log"}, std::chrono::seconds(60));
    ASSERT_FALSE(usb.hung) << usb.output;
    ExpectProcessorWriteFailed(usb);
    {
        auto lock = LockUsbBus();
        EXPECT_GE(ChipHistory(scenario_.devices.front().serial).stalls, 1);
    }
    ExpectDeviceLetGo(scenario_.devices.front().serial);
}

TEST_F(UsbStackTest, AnOutEndpointThatTakesNothingFailsAtTheWriteTimeOut) {
    // The device takes nothing: the chip's buffer fills with the first
    // records, and the next write is refused until it times out.
    WriteSmallImages(Usb(), 6);
    Attach("tx_drain = 0\n");
    ChildRun usb = RunChild(Usb(), {"--no-log", "--trace", "trace"}, std::chrono::seconds(60));
    ASSERT_FALSE(usb.hung) << usb.output;
    ExpectProcessorWriteFailed(usb);
    ExpectDeviceLetGo(scenario_.devices.front().serial);
    // The write that waited out its time-out replays as the slow write it was.
    ExpectReplayed(Usb(), usb);
}

TEST_F(UsbStackTest, ADeviceAnotherProcessHoldsIsRefusedAsBusy) {
    const std::string serial = sim::DefaultSerial(1);
    ChipFaults busy;
    busy.busy = true;
    WriteSmallImages(Usb(), 1);
    Attach("", {{serial, busy}});
    ChildRun usb = RunChild(Usb(), {"--no-log"}, std::chrono::seconds(60));
    ASSERT_FALSE(usb.hung) << usb.output;
    EXPECT_EQ(usb.exitCode, 28) << usb.output;
    EXPECT_THAT(usb.output, HasSubstr("libftdi: cannot open '" + serial + "': unable to claim usb device"));
    {
        auto lock = LockUsbBus();
        ChipRecord chip = ChipHistory(serial);
        EXPECT_GE(chip.refusedClaims, 1);
        EXPECT_EQ(chip.claims, 0);
    }
    ExpectDeviceLetGo(serial);
}

TEST_F(UsbStackTest, ADeviceUnpluggedDuringATransferFailsTheStageAndIsLetGo) {
    // The device goes at the first record of the processor programming (its
    // 7th write): that transfer and the one from the chip under way end with
    // ENODEV, and the node disappears. The run ends as with the emulated
    // device's own table.
    const std::string serial = sim::DefaultSerial(1);
    WriteSmallImages(Usb(), 3);
    Attach("unplug_after = FT_Write 7\n");
    ChildRun usb = RunChild(Usb(), {"--no-log"}, std::chrono::seconds(60));
    ASSERT_FALSE(usb.hung) << usb.output;
    ExpectProcessorWriteFailed(usb);
    EXPECT_EQ(WithoutAwakeLine(usb.output), Simulated(3, {}).output);
    {
        auto lock = LockUsbBus();
        EXPECT_TRUE(ChipHistory(serial).gone);
    }
    EXPECT_FALSE(fs::exists(UsbDeviceNode(serial))) << "the device node is still there";
    ExpectDeviceLetGo(serial);
}

TEST_F(UsbStackTest, AnAdapterTheUserMayNotOpenIsPassedOver) {
    if (std::string why; !Unprivileged(why)) GTEST_SKIP() << "the program cannot run without root's rights: " << why;
    // Beside the QVM7316 an adapter that no udev rule opens to the user:
    // listed as one without access, and passed over by the update, which
    // reaches the QVM7316 (whose handshake then fails, to keep the run short).
    const std::string scenario =
        "devices = \"QVM7316\" [EMU00001], \"FT232R USB UART\" [A50285BI]\nno_access = 2\nhandshake_reply = none\n";
    WriteSmallImages(Usb(), 1);
    Attach(scenario);
    ChildRun list = RunChild(Usb(), {"--list"}, std::chrono::seconds(60), true);
    EXPECT_EQ(list.exitCode, 0) << list.output;
    EXPECT_THAT(list.output, HasSubstr("1 - \"(no access)\" other\n"));
    EXPECT_EQ(list.output, Simulated(1, {"--list"}).output);

    ChildRun usb = RunChild(Usb(), {"--no-log"}, std::chrono::seconds(60), true);
    ASSERT_FALSE(usb.hung) << usb.output;
    EXPECT_EQ(usb.exitCode, 30) << usb.output;
    EXPECT_THAT(usb.output, HasSubstr("2 FTDI device(s) found\nQVM7316 found\nConnecting to onboard processor\n"));
    EXPECT_EQ(WithoutAwakeLine(usb.output), Simulated(1, {}).output);
    ExpectDeviceLetGo("EMU00001");
}

TEST_F(UsbStackTest, ADeviceNodeTheUserMayNotOpenIsRefusedNamingTheUdevRule) {
    if (std::string why; !Unprivileged(why)) GTEST_SKIP() << "the program cannot run without root's rights: " << why;
    WriteSmallImages(Usb(), 1);
    Attach("no_access = 1\n");
    ChildRun usb = RunChild(Usb(), {"--no-log"}, std::chrono::seconds(60), true);
    ASSERT_FALSE(usb.hung) << usb.output;
    EXPECT_EQ(usb.exitCode, 28) << usb.output;
    EXPECT_THAT(usb.output, HasSubstr("a QVM7316 needs the udev rule 60-qvm7316.rules"));
    EXPECT_EQ(WithoutAwakeLine(usb.output), Simulated(1, {}).output);
    auto lock = LockUsbBus();
    EXPECT_EQ(ChipHistory(scenario_.devices.front().serial).claims, 0);
}
