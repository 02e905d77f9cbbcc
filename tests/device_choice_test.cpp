// One device per run, chosen and kept: several QVM7316 on one bench, the
// listing, and updates side by side in separate processes.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "device/link.h"
#include "device/selection.h"
#include "platform/log.h"
#include "protocol/status.h"
#include "sim/device.h"
#include "test_support.h"
#include "update/run_update.h"

using ::testing::AllOf;
using ::testing::Each;
using ::testing::EndsWith;
using ::testing::HasSubstr;

class DeviceChoiceTest : public DeviceTest {
  protected:
    std::vector<std::string> Opens() {
        std::vector<std::string> opens;
        for (const auto& t : Trace())
            if (t.call == "FT_OpenEx") opens.push_back(t.rest);
        return opens;
    }

    // A whole update from a fresh start, with the run log file.
    int Update(const std::string& scenario, const std::string& serial = "") {
        CopySamples();
        Start(scenario);
        ChooseDevice(serial);
        OpenRunLog((Dir() / "run.log").string());
        int result = UpdateWorker();
        CloseRunLog();
        return result;
    }

    // The device at that location holds all three images; another was
    // never spoken to.
    static bool Updated(DWORD location) {
        const sim::Device& d = *sim::DeviceAt(location);
        return d.gateArray.verifyRan && d.gateArray.verifyMatched && d.gateArray.image.size() == 32000 &&
               d.prom.pagePrograms > 0 && d.loader.recordsRejected == 0 && d.handshakes == 1;
    }
    static bool Untouched(DWORD location) {
        const sim::Device& d = *sim::DeviceAt(location);
        return d.handshakes + d.loader.recordsReceived + d.prom.pagePrograms + d.gateArray.answersReceived == 0;
    }

    // A run refused before anything reached a device, with its reason.
    void ExpectRefused(const std::string& reason) {
        EXPECT_EQ(LastFailedStatus(), USB_OPEN_FAILURE);
        EXPECT_TRUE(Opens().empty());
        EXPECT_EQ(DisplayEvents().back(), "ended 28 Programming failed | " + reason);
        EXPECT_THAT(Output(), AllOf(HasSubstr(reason + "\n"), EndsWith(std::string(kDeviceUnchanged) + "\n")));
    }
};

TEST_F(DeviceChoiceTest, TwoQvm7316AndNoChoiceEndBeforeAnyByteIsSent) {
    CopySamples();
    Start("devices = QVM7316 [A1], QVM7316 A [B2]");
    EXPECT_EQ(UpdateWorker(), -1);
    EXPECT_EQ(LastFailedStatus(), USB_OPEN_FAILURE);
    EXPECT_TRUE(Opens().empty());
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(DisplayEvents().back(),
              "ended 28 Programming failed | 2 QVM7316 devices found - connect only one, or choose one with --serial");
    EXPECT_THAT(Output(), EndsWith("Nothing was sent to the QVM7316: the device was not changed.\n"));
}

TEST_F(DeviceChoiceTest, EveryConnectionStaysOnTheRunsDevice) {
    CopySamples();
    // Chosen by serial number, while the listing order changes after the
    // first connection.
    Start("devices = QVM7316 [A1], QVM7316 [B2]\nswap_order_after = 1");
    ChooseDevice("B2");
    ASSERT_EQ(UpdateWorker(), 0);
    EXPECT_EQ(Opens().size(), 9u);
    EXPECT_THAT(Opens(), Each(std::string("serial \"B2\" = 0")));
    EXPECT_EQ(sim::FindDevice("B2")->gateArray.image.size(), 32000u);
    EXPECT_TRUE(sim::FindDevice("B2")->gateArray.verifyRan);
    EXPECT_EQ(sim::FindDevice("A1")->handshakes + sim::FindDevice("A1")->loader.recordsReceived, 0u);

    // Found alone; another QVM7316 is plugged in after the first connection.
    ChooseDevice("");
    Start("devices = QVM7316 [A1]\nattach_after = 1 QVM7316 [B2]");
    ASSERT_EQ(UpdateWorker(), 0);
    EXPECT_THAT(Opens(), Each(std::string("serial \"A1\" = 0")));
    EXPECT_TRUE(sim::FindDevice("A1")->gateArray.verifyRan);
    EXPECT_EQ(sim::FindDevice("B2")->handshakes, 0u);
    EXPECT_THAT(Output(), HasSubstr("2 FTDI device(s) found\nQVM7316 found\n"));
}

TEST_F(DeviceChoiceTest, ConsoleListsTheAttachedDevices) {
    WriteFile("bench.txt", "devices = QVM7316 [A1], FT232R USB UART [F9], \"QVM7316 B\" [B2]\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=bench.txt --list", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              "3 FTDI device(s) found\n"
              "0 A1 \"QVM7316\" QVM7316\n1 F9 \"FT232R USB UART\" other\n2 B2 \"QVM7316 B\" QVM7316\n");
    WriteFile("broken.txt", "fail = FT_ListDevices 3\n");
    EXPECT_EQ(RunConsole("-C " + Dir().string() + " --simulate=broken.txt --list", Dir() / "out.txt").exitCode,
              USB_LIST_FAILURE);
    // The vendor's library is not installed where the tests run.
    run = RunConsole("--list --driver=d2xx", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, USB_OPEN_FAILURE);
    EXPECT_THAT(run.output, HasSubstr("could not be loaded"));
}

// Four updates at once, one process per device, on the emulated bench:
// each device ends up holding its own images; a device one process holds
// cannot be opened by another.
TEST_F(DeviceChoiceTest, FourUpdatesSideBySideEachOnItsOwnDevice) {
    WriteFile("bench.txt", "devices = QVM7316 [S1], QVM7316 [S2], QVM7316 [S3], QVM7316 [S4]\nbus = bus\n");
    std::string commands;
    for (int n = 1; n <= 4; ++n) {
        std::string unit = "unit" + std::to_string(n);
        std::filesystem::create_directory(Dir() / unit);
        for (const char* name : {"gen.hex", "genprom.hex"})
            std::filesystem::copy_file(std::filesystem::path(QVM7316_SOURCE_DIR) / "samples" / name,
                                       Dir() / unit / name);
        std::string image(32000, '\0');
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * n + n);
        WriteFile(unit + "/GEN.dat", image);
        commands += std::string(QVM7316_CONSOLE_EXE) + " -C " + (Dir() / unit).string() +
                    " --simulate=../bench.txt --serial S" + std::to_string(n) + " --yes --dump dump >" + unit +
                    "/console.txt 2>&1 </dev/null & ";
    }
    ASSERT_EQ(std::system(("cd " + Dir().string() + " && " + commands + "wait").c_str()), 0);
    for (int n = 1; n <= 4; ++n) {
        std::string unit = "unit" + std::to_string(n);
        EXPECT_THAT(ReadFile(unit + "/console.txt"), EndsWith("Programming finished successfully!\n")) << unit;
        EXPECT_EQ(ReadFile(unit + "/dump/gatearray.bin"), ReadFile(unit + "/GEN.dat")) << unit;
        EXPECT_THAT(ReadFile(unit + "/dump/device.txt"),
                    AllOf(HasSubstr("serial: S" + std::to_string(n) + "\n"), HasSubstr("gate_array_verify: matched")));
    }

    // S2 held by another process: the update fails to open it. The bus
    // locks each device by its location, the second device's being 2.
    int held = open((Dir() / "bus" / "00000002.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    auto run = RunConsole("-C " + (Dir() / "unit2").string() + " --simulate=../bench.txt --serial S2 --yes",
                          Dir() / "out.txt");
    close(held);
    EXPECT_EQ(run.exitCode, USB_OPEN_FAILURE);
    EXPECT_THAT(run.output, HasSubstr("QVM7316 found\nOpen handle to QVM7316 failed - exiting\n"));
}

// Adapters and clones without a serial number, or with one another device
// has: the update reaches the QVM7316 and no other, by what tells it apart.
TEST_F(DeviceChoiceTest, ADeviceWithoutASerialNumberIsFoundWhereItIsPluggedIn) {
    // Alone: an open by an empty serial number could take any such device.
    ASSERT_EQ(Update("devices = QVM7316 []"), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("location 0x00000001 = 0")));
    EXPECT_TRUE(Updated(1));
    EXPECT_THAT(ReadFile("run.log"), HasSubstr("=== device: no serial number, description 'QVM7316', location "
                                               "0x00000001\n"));

    // Beside an adapter without one, listed first, while the listing order
    // changes: the same port every time.
    ForgetRunDevice();
    ASSERT_EQ(Update("devices = \"FT232R USB UART\" [], QVM7316 []\nswap_order_after = 2"), 0) << Output();
    EXPECT_EQ(Opens().size(), 9u);
    EXPECT_THAT(Opens(), Each(std::string("location 0x00000002 = 0")));
    EXPECT_TRUE(Updated(2));
    EXPECT_TRUE(Untouched(1));
    // The log is the one-device run's, but for the count.
    EXPECT_THAT(Output(), HasSubstr("2 FTDI device(s) found\nQVM7316 found\nConnecting to onboard processor"));

    // Another one without a serial number plugged in mid-run, listed first:
    // the run keeps to its own port.
    ForgetRunDevice();
    ASSERT_EQ(Update("devices = QVM7316 []\nattach_after = 1 QVM7316 []"), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("location 0x00000001 = 0")));
    EXPECT_TRUE(Updated(1));
    EXPECT_TRUE(Untouched(2));
}

TEST_F(DeviceChoiceTest, ASharedSerialNumberIsNotWhatTheDeviceIsOpenedBy) {
    // An adapter with the QVM7316's serial number: the description tells
    // them apart.
    ASSERT_EQ(Update("devices = \"FT232R USB UART\" [A1], QVM7316 [A1]"), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("description \"QVM7316\" = 0")));
    EXPECT_TRUE(Updated(2));
    EXPECT_TRUE(Untouched(1));

    // Chosen by it among two QVM7316s, the adapter sharing it: neither the
    // serial number nor the description tells it apart, its port does.
    ForgetRunDevice();
    ASSERT_EQ(Update("devices = QVM7316 [B2], \"FT232R USB UART\" [A1], QVM7316 [A1]", "A1"), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("location 0x00000003 = 0")));
    EXPECT_TRUE(Updated(3));
    EXPECT_TRUE(Untouched(1) && Untouched(2));

    // Serial number alone when the first connection found it so; an adapter
    // with the same one plugged in mid-run makes the later ones go by the
    // description instead.
    ForgetRunDevice();
    ASSERT_EQ(Update("devices = QVM7316 [A1]\nattach_after = 3 \"FT232R USB UART\" [A1]"), 0) << Output();
    std::vector<std::string> opens = Opens();
    ASSERT_EQ(opens.size(), 9u);
    EXPECT_THAT(std::vector<std::string>(opens.begin(), opens.begin() + 3), Each(std::string("serial \"A1\" = 0")));
    EXPECT_THAT(std::vector<std::string>(opens.begin() + 3, opens.end()),
                Each(std::string("description \"QVM7316\" = 0")));
    EXPECT_TRUE(Updated(1));
}

TEST_F(DeviceChoiceTest, DevicesThatCannotBeToldApartAreRefusedBeforeAnyByte) {
    EXPECT_EQ(Update("devices = QVM7316 [A1], QVM7316 [A1]", "A1"), -1);
    ExpectRefused("2 devices have serial number A1 - cannot tell them apart");

    // Without serial numbers, without a choice.
    EXPECT_EQ(Update("devices = QVM7316 [], QVM7316 []"), -1);
    ExpectRefused("2 QVM7316 devices found - connect only one, or choose one with --serial");

    // A choice of a device without one that another now matches (the
    // dialog's, made while it was alone).
    Start("devices = QVM7316 [], QVM7316 []");
    ChooseDevice(DeviceChoice{"", "QVM7316", std::nullopt});
    EXPECT_EQ(UpdateWorker(), -1);
    ExpectRefused("QVM7316 has no serial number and another device has its description");

    // A clone of the run's device plugged in mid-run: the later connection
    // cannot know which is the one it has been updating.
    EXPECT_EQ(Update("devices = QVM7316 [A1]\nattach_after = 1 QVM7316 [A1]"), -1);
    EXPECT_EQ(LastFailure(), "failed in ProgramProcessor: USB_OPEN_FAILURE (28)");
    EXPECT_EQ(Opens().size(), 1u);
    EXPECT_THAT(Output(), HasSubstr("2 devices have serial number A1 - cannot tell them apart\n"));
}

// What the dialog does before Start: it lists without a trace, a log line
// or a count of the scenario's failures, and its choice is the run's device.
TEST_F(DeviceChoiceTest, TheDialogsChoiceIsTheRunsDevice) {
    Start("devices = QVM7316 [A1], \"FT232R USB UART\" [F9], QVM7316 [B2]\nfail = FT_ListDevices 1");
    std::vector<ListedDevice> listed;
    ASSERT_TRUE(ListDevicesQuietly(*sim::EmulatorD2xx(), listed));
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].serial + " " + listed[2].description, "B2 QVM7316");
    EXPECT_EQ(listed[2].location, 3u);
    EXPECT_TRUE(listed[2].isQvm7316);
    EXPECT_FALSE(listed[1].isQvm7316);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(Output(), "");
    std::vector<ListedDevice> devices;
    EXPECT_EQ(ListAttachedDevices(devices, false), USB_LIST_FAILURE);  // the scenario's first listing call

    // A device its serial number and description tell apart is chosen as
    // --serial chooses it: the run makes the same calls.
    DeviceChoice choice = ChoiceOf(listed[2], listed);
    EXPECT_FALSE(choice.location.has_value());
    CopySamples();
    Start("devices = QVM7316 [A1], \"FT232R USB UART\" [F9], QVM7316 [B2]");
    ChooseDevice(choice);
    ASSERT_EQ(UpdateWorker(), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("serial \"B2\" = 0")));
    EXPECT_TRUE(Updated(3));

    // Two alike: the choice holds the port of the one chosen.
    Start("devices = QVM7316 [], QVM7316 []");
    ASSERT_TRUE(ListDevicesQuietly(*sim::EmulatorD2xx(), listed));
    choice = ChoiceOf(listed[1], listed);
    EXPECT_EQ(choice.location, 2u);
    ChooseDevice(choice);
    ASSERT_EQ(UpdateWorker(), 0) << Output();
    EXPECT_THAT(Opens(), Each(std::string("location 0x00000002 = 0")));
    EXPECT_TRUE(Updated(2));
    EXPECT_TRUE(Untouched(1));
}

// A device this user may not open: passed over, shown as such, and when it
// may be the QVM7316, the log says what it needs.
TEST_F(DeviceChoiceTest, UnreadableDevicesArePassedOver) {
    WriteFile("bench.txt", "devices = \"FT232R USB UART\" [F9], QVM7316 [A1], QVM7316 []\nno_access = 1, 3\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=bench.txt --list", Dir() / "out.txt");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output,
              "3 FTDI device(s) found\n"
              "0 - \"(no access)\" other\n1 A1 \"QVM7316\" QVM7316\n2 - \"(no access)\" other\n"
              "2 FTDI device(s) could not be read (no access, or open in another program) - a QVM7316 needs the udev "
              "rule 60-qvm7316.rules, and from an ssh login the plugdev group (see the README)\n");

    // At the start, and plugged in mid-run.
    ASSERT_EQ(Update("devices = \"FT232R USB UART\" [F9], QVM7316 [A1]\nno_access = 1, 3\n"
                     "attach_after = 2 \"FT232R USB UART\" [F8]"),
              0)
        << Output();
    EXPECT_THAT(Opens(), Each(std::string("serial \"A1\" = 0")));
    EXPECT_TRUE(Updated(2));

    // The QVM7316 itself: not found, and why it may be so.
    EXPECT_EQ(Update("devices = QVM7316 [A1]\nno_access = 1"), -1);
    EXPECT_THAT(Output(), HasSubstr("1 FTDI device(s) found\n1 FTDI device(s) could not be read (no access, or open in "
                                    "another program) - a QVM7316 needs the udev rule 60-qvm7316.rules, and from an "
                                    "ssh login the plugdev group (see the README)\nno QVM7316 found - exiting\n"));
}

// A run that went by location replays from its trace, as any other.
TEST_F(DeviceChoiceTest, ARunByLocationIsTracedAndReplayed) {
    CopySamples();
    WriteFile("s.txt", "devices = \"FT232R USB UART\" [], QVM7316 []\n");
    auto run = RunConsole("-C " + Dir().string() + " --simulate=s.txt --yes --no-log --trace t.txt", Dir() / "out.txt");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_THAT(ReadFile("t.txt"), AllOf(HasSubstr(" FT_ListDevices index 1 location = 0 0x00000002\n"),
                                         HasSubstr(" FT_OpenEx location 0x00000002 = 0\n")));
    auto replay =
        RunConsole("-C " + Dir().string() + " --replay t.txt --no-log", Dir() / "replay.txt", Dir() / "err.txt");
    EXPECT_EQ(replay.exitCode, 0);
    EXPECT_THAT(ReadFile("err.txt"), HasSubstr("replayed to its end without divergence"));
}
