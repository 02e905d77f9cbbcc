// The device link against the emulated device: listing and opening by
// description, purge, time-outs, close, and the bytes SendHexByte writes.
#include "device/link.h"

#include <gmock/gmock.h>

#include "device/selection.h"
#include "protocol/status.h"
#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class LinkTest : public DeviceTest {};

TEST_F(LinkTest, NoDeviceAttachedPausesAndReportsNotFound) {
    Start("devices =");
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);
    EXPECT_EQ(Output(), "0 FTDI device(s) found\nno QVM7316 found - exiting\n");
    auto trace = Trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].rest, "count = 0 0");
}

TEST_F(LinkTest, FindsTheModelAmongOtherDevicesAndOpensItBySerialNumber) {
    Start("devices = FT232R USB UART [FT1], QVM7316 [A1B2C3]");
    EXPECT_EQ(OpenDevice(), 0);
    EXPECT_EQ(Output(), "2 FTDI device(s) found\nQVM7316 found\n");
    std::vector<std::string> lines;
    for (const auto& t : Trace()) lines.push_back(std::to_string(t.ms) + " " + t.call + " " + t.rest);
    // The count, the 200 ms pause, every description, the serial number of
    // the QVM7316, then that of every other device (the QVM7316's must be
    // the only one of its kind), and the open by it.
    EXPECT_THAT(
        lines,
        ElementsAre("0 FT_ListDevices count = 0 2", "200 FT_ListDevices index 0 description = 0 \"FT232R USB UART\"",
                    "200 FT_ListDevices index 1 description = 0 \"QVM7316\"",
                    "200 FT_ListDevices index 1 serial = 0 \"A1B2C3\"", "200 FT_ListDevices index 0 serial = 0 \"FT1\"",
                    "200 FT_OpenEx serial \"A1B2C3\" = 0"));
    ASSERT_NE(RunDevice(), nullptr);
    EXPECT_EQ(RunDevice()->serial, "A1B2C3");
}

TEST_F(LinkTest, OnlyOneDeviceIsEverMeant) {
    // Two QVM7316 and no choice: refused before anything is opened.
    Start("devices = QVM7316 [A1], QVM7316 [B2]");
    EXPECT_EQ(OpenDevice(), DEVICE_OPEN_FAILURE);
    EXPECT_EQ(Output(),
              "2 FTDI device(s) found\n2 QVM7316 devices found - connect only one, or choose one with --serial\n");
    EXPECT_EQ(Trace().back().call, "FT_ListDevices");

    // The one chosen, whatever its place in the list.
    ChooseDevice("B2");
    EXPECT_EQ(OpenDevice(), 0);
    EXPECT_EQ(Trace().back().rest, "serial \"B2\" = 0");
    CloseDevice();
    ChooseDevice("C3");
    ForgetRunDevice();
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);
    EXPECT_THAT(Output(), HasSubstr("QVM7316 C3 not found - exiting\n"));
    // A device that is no QVM7316 cannot be chosen either.
    Start("devices = FT232R USB UART [FT1]");
    ChooseDevice("FT1");
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);

    // Later connections keep to the run's device while it is attached.
    Start("devices = QVM7316 [A1]");
    ChooseDevice("");
    ForgetRunDevice();
    ASSERT_EQ(OpenDevice(), 0);
    CloseDevice();
    Start("devices = QVM7316 [B2]");
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);
    EXPECT_THAT(Output(), HasSubstr("QVM7316 A1 is no longer connected - exiting\n"));
}

TEST_F(LinkTest, ADescriptionThatHoldsTheKeyIsAQvm7316) {
    Start("devices = QVM7316 A");
    EXPECT_EQ(OpenDevice(), 0);
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\n");
}

TEST_F(LinkTest, CaseDifferentDescriptionIsNotFound) {
    Start("devices = qvm7316");
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);
    EXPECT_THAT(Output(), HasSubstr("no QVM7316 found - exiting\n"));
}

TEST_F(LinkTest, ListFailuresStopTheSearch) {
    Start("fail = FT_ListDevices 1");
    EXPECT_EQ(OpenDevice(), USB_LIST_FAILURE);
    EXPECT_EQ(Output(), "first List Device Failed\n");

    Start("devices = A, QVM7316\nfail = FT_ListDevices 2");
    EXPECT_EQ(OpenDevice(), USB_LIST_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("2 FTDI device(s) found\nsecond List Device Failed\n"));
}

TEST_F(LinkTest, PurgeCloseAndTimeoutFailuresPrintTheirLines) {
    Start("fail = FT_Purge 1\nfail = FT_Close 1");
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_EQ(PurgeDevice(), USB_PURGE_FAILURE);
    EXPECT_EQ(PurgeDevice(), 0);
    EXPECT_EQ(CloseDevice(), USB_CLOSE_FAILURE);
    EXPECT_EQ(CloseDevice(), 0);
    EXPECT_THAT(Output(), HasSubstr("SetPurge Failed\nClose Failed\n"));
}

TEST_F(LinkTest, TimeoutFailureClosesTheDevice) {
    Start("fail = FT_SetTimeouts 1");
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_EQ(SetDeviceTimeouts(500, 0), USB_TIMEOUT_FAILURE);
    EXPECT_FALSE(Device().open);
    EXPECT_THAT(Output(), HasSubstr("QVM7316 found\nSetTimeout Failed\n"));
}

TEST_F(LinkTest, TimeoutFailureWithFailingCloseGivesCloseFailure) {
    Start("fail = FT_SetTimeouts 1\nfail = FT_Close 1");
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_EQ(SetDeviceTimeouts(500, 0), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetTimeout Failed\nClose Failed\n"));
}

TEST_F(LinkTest, HexBytesAreTwoUpperCaseDigitsInSeparateWrites) {
    ASSERT_EQ(OpenDevice(), 0);
    SendHexByte(0x06);
    SendHexByte(0xC7);
    SendHexByte(0x1AB);  // only the low 8 bits count
    SendCommandByte(0x1E4);
    EXPECT_THAT(Writes(), ElementsAre("200 30", "200 36", "200 43", "200 37", "200 41", "200 42", "200 E4"));
    EXPECT_EQ(UsbBytesWritten, 1u);
}

TEST_F(LinkTest, FailedCommandByteIsOnlyPrinted) {
    Start("fail = FT_Write 1");
    ASSERT_EQ(OpenDevice(), 0);
    SendCommandByte(0xE8);
    SendCommandByte(0xEC);
    EXPECT_THAT(Output(), HasSubstr("USB Write Failed\n"));
    EXPECT_EQ(Writes().size(), 2u);
}

TEST_F(LinkTest, MissingVendorLibraryGivesOneLineAndAFailingOpen) {
    // No D2XX library is installed where the tests run.
    const D2xxOps* ops = LoadVendorD2xx();
    EXPECT_EQ(ops, MissingD2xx());
    SelectD2xx(ops);
    EXPECT_EQ(OpenDevice(), USB_LIST_FAILURE);
    EXPECT_EQ(Output(),
              "D2XX driver library libftd2xx.so could not be loaded - is the FTDI driver installed?\n"
              "first List Device Failed\n");
}

// ---- A device unplugged ----

TEST_F(LinkTest, AnUnpluggedDeviceFailsEveryCallOnItsHandleAndLeavesTheListing) {
    Start("devices = FT232R USB UART [FT1], QVM7316 [A1]\nunplug_after = FT_Read 1");
    ASSERT_EQ(OpenDevice(), 0);
    FT_HANDLE handle = g_deviceHandle;
    SendCommandByte(0xE8);
    char buffer[8];
    DWORD count = 99, tx = 0, event = 0;
    // It vanishes at the call the scenario names; that call fails too.
    EXPECT_EQ(FT_Read(handle, buffer, 1, &count), FT_IO_ERROR);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(FT_Write(handle, buffer, 1, &count), FT_IO_ERROR);
    EXPECT_EQ(FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX), FT_IO_ERROR);
    EXPECT_EQ(FT_SetTimeouts(handle, 500, 0), FT_IO_ERROR);
    EXPECT_EQ(FT_GetQueueStatus(handle, &count), FT_IO_ERROR);
    EXPECT_EQ(FT_GetStatus(handle, &count, &tx, &event), FT_IO_ERROR);
    // Its close fails as well, and still gives the handle back.
    EXPECT_EQ(CloseDevice(), USB_CLOSE_FAILURE);
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(FT_Close(handle), FT_INVALID_HANDLE);
    EXPECT_TRUE(Device().unplugged);

    // Only the other device is listed now, and the run's device is gone.
    Output();
    EXPECT_EQ(OpenDevice(), DEVICE_NOT_FOUND);
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 A1 is no longer connected - exiting\n");
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("A1"), FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_THAT(sim::DeviceReport(*sim::FindDevice("A1")), HasSubstr("unplugged: yes\n"));
    EXPECT_THAT(sim::DeviceReport(*sim::FindDevice("FT1")), HasSubstr("unplugged: no\n"));
}

TEST_F(LinkTest, ADeviceUnpluggedWhileItIsListedOrOpenedIsNotFound) {
    // Counted, then gone before its description is asked for.
    Start("unplug_after = FT_ListDevices 2");
    EXPECT_EQ(OpenDevice(), USB_LIST_FAILURE);
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nsecond List Device Failed\n");
    EXPECT_EQ(Trace().back().rest, "index 0 description = 2 \"\"");

    Start("unplug_after = FT_OpenEx 1");
    EXPECT_EQ(OpenDevice(), DEVICE_OPEN_FAILURE);
    EXPECT_EQ(Trace().back().rest, "serial \"EMU00001\" = 2");
    EXPECT_FALSE(Device().open);
}
