// The connect handshake on the wire and every row of its failure table.
#include <gmock/gmock.h>

#include "device/link.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class HandshakeTest : public DeviceTest {};

TEST_F(HandshakeTest, PatternAndSyncGoOutWithTheirPausesAndTheEchoPasses) {
    EXPECT_EQ(ConnectToProcessor(), 0);
    // Open at 0 plus the 200 ms listing pause; then 100, 500, 500, 1000 ms apart.
    EXPECT_THAT(Writes(), ElementsAre("200 E8", "300 EC", "800 E8", "1300 E0", "2300 55"));
    auto trace = Trace();
    auto timeouts =
        std::find_if(trace.begin(), trace.end(), [](const TraceLine& t) { return t.call == "FT_SetTimeouts"; });
    ASSERT_NE(timeouts, trace.end());
    EXPECT_EQ(timeouts->ms, 2800u);
    EXPECT_EQ(timeouts->rest, "500 0 = 0");
    EXPECT_EQ(trace.back().call, "FT_Close");
    EXPECT_EQ(Output(), "1 FTDI device(s) found\nQVM7316 found\nConnecting to onboard processor\nReturned Char = U\n");
    EXPECT_EQ(g_stepCounter, 1);
    EXPECT_EQ(g_lastShownValue, 1);
    EXPECT_EQ(Device().handshakes, 1u);
    EXPECT_FALSE(Device().open);
}

TEST_F(HandshakeTest, SilentDeviceTimesOutAfterFiveHundredMs) {
    Start("handshake_reply = none");
    EXPECT_EQ(ConnectToProcessor(), BAD_HANDSHAKE);
    EXPECT_THAT(Output(), HasSubstr("Returned Char = \n"));
    auto trace = Trace();
    auto read = std::find_if(trace.begin(), trace.end(), [](const TraceLine& t) { return t.call == "FT_Read"; });
    ASSERT_NE(read, trace.end());
    EXPECT_EQ(read->ms, 2800u);  // the time the call was made, not when it returned
    EXPECT_EQ(read->rest, "1 = 0 -");
    EXPECT_EQ((read + 1)->ms, 3300u);  // the read waited its 500 ms
    EXPECT_EQ(g_stepCounter, 0);
}

TEST_F(HandshakeTest, WrongOrZeroReplyIsABadHandshake) {
    Start("handshake_reply = 0x41");
    EXPECT_EQ(ConnectToProcessor(), BAD_HANDSHAKE);
    EXPECT_THAT(Output(), HasSubstr("Returned Char = A\n"));

    Start("handshake_reply = 0");
    EXPECT_EQ(ConnectToProcessor(), BAD_HANDSHAKE);
    EXPECT_THAT(Output(), HasSubstr("Returned Char = \n"));
}

TEST_F(HandshakeTest, NoDeviceGivesOpenFailure) {
    Start("devices =");
    EXPECT_EQ(ConnectToProcessor(), USB_OPEN_FAILURE);
    EXPECT_EQ(Output(), "0 FTDI device(s) found\nno QVM7316 found - exiting\n");
}

TEST_F(HandshakeTest, LostSyncByteIsPrintedAndTheReadStillDecides) {
    Start("fail = FT_Write 5");
    EXPECT_EQ(ConnectToProcessor(), BAD_HANDSHAKE);
    EXPECT_THAT(Output(), HasSubstr("Connecting to onboard processor\nUSB Write Failed\nReturned Char = \n"));
}

TEST_F(HandshakeTest, TimeoutFailureReturnsTimeoutFailureEvenWhenTheCloseFails) {
    Start("fail = FT_SetTimeouts 1");
    EXPECT_EQ(ConnectToProcessor(), USB_TIMEOUT_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetTimeout Failed\n"));

    Start("fail = FT_SetTimeouts 1\nfail = FT_Close 1");
    EXPECT_EQ(ConnectToProcessor(), USB_TIMEOUT_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("SetTimeout Failed\nClose Failed\n"));
}

TEST_F(HandshakeTest, ReadFailureClosesAndReportsReadOrCloseFailure) {
    Start("fail = FT_Read 1");
    EXPECT_EQ(ConnectToProcessor(), USB_READ_FAILURE);
    EXPECT_FALSE(Device().open);

    Start("fail = FT_Read 1\nfail = FT_Close 1");
    EXPECT_EQ(ConnectToProcessor(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Read from USB Failed\nClose Failed\n"));
}

TEST_F(HandshakeTest, FinalCloseFailureAfterAGoodEcho) {
    Start("fail = FT_Close 1");
    EXPECT_EQ(ConnectToProcessor(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("Returned Char = U\nClose Failed\n"));
    EXPECT_EQ(g_stepCounter, 0);
}
