// The call trace format, which other tools read.
#include <gmock/gmock.h>

#include "device/link.h"
#include "platform/clock.h"
#include "test_support.h"

class TraceTest : public DeviceTest {};

TEST_F(TraceTest, EveryCallHasItsFixedForm) {
    Start("devices = QVM7316\ncomcheck_delay_ms = 0");
    ASSERT_EQ(OpenDevice(), 0);
    PurgeDevice();
    SetDeviceLatencyTimer();
    SetDeviceTimeouts(3000, 0);
    SendCommandByte(0xF2);
    SendCommandByte(0xC0);
    SleepMs(2);  // the reply reaches the host at the chip's next beat
    DWORD rx = 0, tx = 0, ev = 0;
    FT_GetQueueStatus(g_deviceHandle, &rx);
    FT_GetStatus(g_deviceHandle, &rx, &tx, &ev);
    char buffer[8];
    FT_Read(g_deviceHandle, buffer, 6, &g_bytesRead);
    CloseDevice();
    std::vector<std::string> lines;
    for (const auto& t : Trace()) lines.push_back(std::to_string(t.ms) + " " + t.call + " " + t.rest);
    EXPECT_THAT(lines,
                ::testing::ElementsAre(
                    "0 FT_ListDevices count = 0 1", "200 FT_ListDevices index 0 description = 0 \"QVM7316\"",
                    "200 FT_ListDevices index 0 serial = 0 \"EMU00001\"", "200 FT_OpenEx serial \"EMU00001\" = 0",
                    "200 FT_Purge 3 = 0", "200 FT_SetLatencyTimer 2 = 0", "200 FT_SetTimeouts 3000 0 = 0",
                    "200 FT_Write F2 = 0 1", "200 FT_Write C0 = 0 1", "202 FT_GetQueueStatus = 0 48",
                    "202 FT_GetStatus = 0 48 0 0", "202 FT_Read 6 = 0 20446F696E67", "202 FT_Close = 0"));
    // The first line names the format and the program; readers skip "#" lines.
    EXPECT_THAT(ReadFile("trace.txt"), ::testing::StartsWith("# qvm7316-update trace 4 " QVM7316_VERSION "\n"));

    // A text from the driver is quoted so that a line stays one line.
    Start(R"(devices = "Q\"V\x01\n")");
    OpenDevice();
    EXPECT_EQ(Trace()[1].rest, R"(index 0 description = 0 "Q\"V\x01\x0A")");
}

TEST_F(TraceTest, FailedCallsShowTheirStatus) {
    Start("fail = FT_Read 1");
    ASSERT_EQ(OpenDevice(), 0);
    char buffer[4];
    EXPECT_EQ(FT_Read(g_deviceHandle, buffer, 4, &g_bytesRead), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(Trace().back().rest, "4 = 4 -");
}
