#include "sim/scenario.h"

#include <gtest/gtest.h>

namespace {

std::string ErrorOf(const std::string& text) {
    sim::Scenario s;
    std::string error;
    EXPECT_FALSE(sim::ParseScenario(text, "s.txt", s, error));
    return error;
}

}  // namespace

TEST(ScenarioTest, ParsesEveryKindOfValue) {
    sim::Scenario s;
    std::string error;
    const char* text =
        "# a comment\n"
        "\n"
        "devices = FT232R USB UART, QVM7316   # trailing comment\n"
        "fail = FT_Purge 2\n"
        "fail = FT_Purge 5\n"
        "handshake_reply = 0x41\n"
        "echo_status = X 3\n"
        "echo = none 7\n"
        "comcheck_reply1 = \" Doing # not a comment\\r\\n\"\n"
        "comcheck_reply2 = none\n"
        "ga_requests = 000001, \"     1\", \"+00001\"\n"
        "ga_length = 6400\n"
        "tx_drain = 0x20\n"
        "line_rate = 9600\n"
        "chip_timer = off\n";
    ASSERT_TRUE(sim::ParseScenario(text, "s.txt", s, error)) << error;
    EXPECT_EQ(s.devices, (std::vector<sim::AttachedDevice>{{"FT232R USB UART", "EMU00001"}, {"QVM7316", "EMU00002"}}));
    EXPECT_EQ(s.failures[D2xxCall::Purge], (std::vector<std::uint32_t>{2, 5}));
    EXPECT_EQ(s.handshakeReply, 0x41);
    EXPECT_EQ(s.echoStatus[3], 'X');
    EXPECT_EQ(s.echoSilentFrom, 7u);
    EXPECT_EQ(s.comcheckReply1, std::string(" Doing # not a comment\r\n"));
    EXPECT_FALSE(s.comcheckReply2.has_value());
    EXPECT_EQ(*s.gaRequests, (std::vector<std::string>{"000001", "     1", "+00001"}));
    EXPECT_EQ(s.gaLength, 6400u);
    EXPECT_EQ(s.txDrainBytesPerMs, 32u);
    EXPECT_EQ(s.lineRateBaud, 9600u);
    EXPECT_FALSE(s.chipTimer);
    EXPECT_EQ(ErrorOf("chip_timer = 16"), "s.txt:1: expected on or off");
    EXPECT_EQ(ErrorOf("line_rate = 3000001"), "s.txt:1: expected a whole number from 0 to 3000000");
    ASSERT_TRUE(sim::ParseScenario("fail = FT_SetLatencyTimer 3", "s.txt", s, error)) << error;
    EXPECT_EQ(s.failures[D2xxCall::SetLatencyTimer], std::vector<std::uint32_t>{3});
}

TEST(ScenarioTest, DevicesMayLackOrShareSerialNumbers) {
    sim::Scenario s;
    std::string error;
    ASSERT_TRUE(
        sim::ParseScenario("devices = QVM7316 [], \"FT232R USB UART\" [A1], QVM7316 [A1], QVM7316\n"
                           "attach_after = 2 QVM7316 [A1], QVM7316 []\nno_access = 2, 6\n",
                           "s.txt", s, error))
        << error;
    EXPECT_EQ(s.devices, (std::vector<sim::AttachedDevice>{{"QVM7316", "", false},
                                                           {"FT232R USB UART", "A1", true},
                                                           {"QVM7316", "A1", false},
                                                           {"QVM7316", "EMU00004", false}}));
    EXPECT_EQ(s.attachedLater, (std::vector<sim::AttachedDevice>{{"QVM7316", "A1", false}, {"QVM7316", "", true}}));
    EXPECT_EQ(ErrorOf("devices = QVM7316 [A 1]"), "s.txt:1: a serial number is one word in brackets, or none: []");
    EXPECT_EQ(ErrorOf("no_access = 2\ndevices = QVM7316"), "s.txt:1: no_access names device 2; the scenario has 1");
    EXPECT_EQ(ErrorOf("no_access = 0"), "s.txt:1: expected device places (from 1) separated by commas");
}

TEST(ScenarioTest, EmptyDeviceListMeansNoneAttached) {
    sim::Scenario s;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario("devices =\n", "s.txt", s, error));
    EXPECT_TRUE(s.devices.empty());
}

TEST(ScenarioTest, ErrorsNameTheFileAndLine) {
    EXPECT_EQ(ErrorOf("\nbogus = 1\n"), "s.txt:2: unknown key 'bogus'");
    EXPECT_EQ(ErrorOf("devices"), "s.txt:1: expected key = value");
    EXPECT_EQ(ErrorOf("fail = FT_Frobnicate 1"), "s.txt:1: unknown D2XX call 'FT_Frobnicate'");
    EXPECT_NE(ErrorOf("fail = FT_Read 0"), "");
    EXPECT_NE(ErrorOf("handshake_reply = 256"), "");
    EXPECT_NE(ErrorOf("prom_erase_ms = -1"), "");
    EXPECT_NE(ErrorOf("tx_drain = -1"), "");
    EXPECT_NE(ErrorOf("comcheck_reply1 = unquoted"), "");
    EXPECT_NE(ErrorOf("comcheck_reply1 = \"open"), "");
    EXPECT_NE(ErrorOf("echo_status = XY 1"), "");
    EXPECT_NE(ErrorOf("ga_short_write = 0"), "");
    // Every number has its range: the gate array's length what six-digit
    // requests can reach.
    EXPECT_EQ(ErrorOf("ga_length = 1000031"), "s.txt:1: expected a whole number from 0 to 1000030");
    sim::Scenario s;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario("ga_length = 1000030", "s.txt", s, error)) << error;
    // A huge or binary key is quoted as a short, escaped prefix.
    EXPECT_EQ(ErrorOf(std::string("ab\0cd = 1", 9)), "s.txt:1: unknown key 'ab\\x00cd'");
    EXPECT_EQ(ErrorOf(std::string(10u << 20, 'k') + " = 1"), "s.txt:1: unknown key '" + std::string(40, 'k') + "'...");
}

TEST(ScenarioTest, MissingFileIsAnError) {
    sim::Scenario s;
    std::string error;
    EXPECT_FALSE(sim::LoadScenario("/nonexistent/scenario.txt", s, error));
    EXPECT_NE(error.find("/nonexistent/scenario.txt"), std::string::npos);
}
