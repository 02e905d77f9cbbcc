// The communication check: the two replies, their timing, the cases where a
// reply is missing, late, short or followed by more, and every failure row.
#include <gmock/gmock.h>

#include "protocol/status.h"
#include "test_support.h"
#include "update/progress.h"
#include "update/stages.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;

class ComCheckTest : public DeviceTest {
  protected:
    std::vector<std::string> Reads() {
        std::vector<std::string> reads;
        for (const auto& t : Trace())
            if (t.call == "FT_Read") reads.push_back(std::to_string(t.ms) + " " + t.rest);
        return reads;
    }
};

TEST_F(ComCheckTest, BothRepliesPass) {
    EXPECT_EQ(CheckCommunication(), 0);
    EXPECT_THAT(Writes(), ElementsAre("200 F2", "400 C0"));
    EXPECT_THAT(Reads(), ElementsAre("600 24 = 0 " + Hex(" Doing COM CHECK command"),
                                     "1600 24 = 0 " + Hex("  Done COM CHECK command")));
    EXPECT_EQ(Trace().back().ms, 2600u);  // the close, after the last 1000 ms
    EXPECT_EQ(Output(),
              "1 FTDI device(s) found\nQVM7316 found\nCom Check\n Doing COM CHECK command\n"
              "  Done COM CHECK command\nFinished Com Check Mode\n");
    EXPECT_EQ(g_stepCounter, 1);
    EXPECT_EQ(Device().comChecks, 1u);
    EXPECT_FALSE(Device().open);
}

TEST_F(ComCheckTest, SilenceOrAMissingOrShortFirstReplyFails) {
    Start("comcheck_reply1 = none\ncomcheck_reply2 = none");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\n\n"));
    EXPECT_EQ(Reads().size(), 1u);
    EXPECT_EQ(Trace().back().ms, 3600u);  // the read waited its 3000 ms, then the close
    EXPECT_FALSE(Device().open);
    EXPECT_EQ(g_stepCounter, 0);

    // Without the first reply the second one is read in its place.
    Start("comcheck_reply1 = none");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\n  Done COM CHECK command\n"));

    Start("comcheck_reply1 = \" Doing COM\"\ncomcheck_reply2 = none");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\n Doing COM\n"));
}

TEST_F(ComCheckTest, LineEndAfterTheFirstReplySpoilsTheSecond) {
    Start("comcheck_reply1 = \" Doing COM CHECK command\\r\\n\"");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith(" Doing COM CHECK command\n\r\n  Done COM CHECK comma\n"));
}

TEST_F(ComCheckTest, SecondReplyCutShortIsCompletedByTheFirstOnesEnd) {
    Start("comcheck_reply2 = \"  Done\"");
    EXPECT_EQ(CheckCommunication(), 0);
    EXPECT_THAT(Output(), HasSubstr(" Doing COM CHECK command\n  Done COM CHECK command\nFinished Com Check Mode\n"));
    EXPECT_EQ(Trace().back().ms, 5600u);  // the second read waited its 3000 ms

    // One character fewer and the buffer still holds the first reply's "g".
    Start("comcheck_reply2 = \"  Don\"");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
}

TEST_F(ComCheckTest, SecondReplyLaterThanTheReadTimeoutFails) {
    Start("comcheck_delay_ms = 4300");  // arrives at 4700, the read gives up at 4600
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith(" Doing COM CHECK command\n Doing COM CHECK command\n"));

    Start("comcheck_delay_ms = 4200");
    EXPECT_EQ(CheckCommunication(), 0);
}

TEST_F(ComCheckTest, FailedReadIsAReadFailureNotAPass) {
    Start("fail = FT_Read 1");
    EXPECT_EQ(CheckCommunication(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\nUSB Read Failed\n"));
    EXPECT_EQ(Reads().size(), 1u);
    EXPECT_FALSE(Device().open);

    Start("fail = FT_Read 2");
    EXPECT_EQ(CheckCommunication(), USB_READ_FAILURE);
    EXPECT_THAT(Output(), EndsWith(" Doing COM CHECK command\nUSB Read Failed\n"));
    EXPECT_EQ(g_stepCounter, 0);
}

TEST_F(ComCheckTest, ConnectionFailureRows) {
    Start("devices =");
    EXPECT_EQ(CheckCommunication(), USB_OPEN_FAILURE);

    Start("fail = FT_Purge 1");
    EXPECT_EQ(CheckCommunication(), USB_PURGE_FAILURE);
    EXPECT_THAT(Output(), EndsWith("SetPurge Failed\n"));
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(Device().open);

    Start("fail = FT_SetTimeouts 1\nfail = FT_Close 1");
    EXPECT_EQ(CheckCommunication(), USB_TIMEOUT_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\nSetTimeout Failed\nClose Failed\n"));
    EXPECT_TRUE(Reads().empty());

    Start("fail = FT_SetTimeouts 1");
    EXPECT_EQ(CheckCommunication(), USB_TIMEOUT_FAILURE);
    EXPECT_FALSE(Device().open);

    Start("fail = FT_Close 1");
    EXPECT_EQ(CheckCommunication(), USB_CLOSE_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Finished Com Check Mode\nClose Failed\n"));

    // A lost mode byte: the device never enters the check and stays silent.
    Start("fail = FT_Write 1");
    EXPECT_EQ(CheckCommunication(), COM_CHECK_FAILURE);
    EXPECT_THAT(Output(), EndsWith("Com Check\nUSB Write Failed\n\n"));
    EXPECT_EQ(Device().comChecks, 0u);
}
