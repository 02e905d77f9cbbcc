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
