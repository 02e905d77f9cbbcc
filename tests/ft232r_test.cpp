// The FT232R in front of the emulated device, as the USB-level tests and
// the libftdi1 stand-in drive it: IN packets paced by the latency timer,
// OUT that waits while the chip's buffer is full or stalls when the device
// refuses, and the requests a driver makes at open.
#include "sim/ft232r.h"

#include <gmock/gmock.h>

#include "platform/clock.h"
#include "test_support.h"

namespace {

const std::string kStatus("\x01\x60", 2);

// One 43-character Intel HEX record: the loader echoes it with ".\r\n".
const std::string kRecord = ":10000000000102030405060708090A0B0C0D0E0F78";

class Ft232rTest : public DeviceTest {
  protected:
    // The chip in front of the scenario's device, opened by a driver.
    sim::Ft232r& Chip(const std::string& scenario = "") {
        Start(scenario);
        EXPECT_TRUE(sim::Ft232rFor(Device().location, chip_));
        EXPECT_TRUE(sim::Ft232rOpen(chip_));
        return chip_;
    }
    sim::UsbAnswer Out(const std::string& bytes) { return sim::Ft232rBulkOut(chip_, bytes); }
    // The packets an IN transfer of `capacity` bytes gets now, or "NAK",
    // "STALL" or "GONE".
    std::string In(std::size_t capacity = 4096) {
        std::string packets;
        sim::UsbAnswer answer = sim::Ft232rBulkIn(chip_, capacity, packets);
        switch (answer) {
            case sim::UsbAnswer::Done:
                return packets;
            case sim::UsbAnswer::NotYet:
                return "NAK";
            case sim::UsbAnswer::Stall:
                return "STALL";
            case sim::UsbAnswer::Gone:
                break;
        }
        return "GONE";
    }
    sim::UsbAnswer Vendor(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::string& data,
                          std::uint16_t length = 0, std::uint16_t index = 0) {
        return sim::Ft232rControl(chip_, {type, request, value, index, length}, data);
    }

    sim::Ft232r chip_;
};

}  // namespace

TEST_F(Ft232rTest, ShortRepliesWaitForTheLatencyTimerFullPacketsDoNot) {
    Chip();
    SleepMs(sim::kFt232rDefaultLatencyMs);
    EXPECT_EQ(In(), kStatus);  // nothing to send: the status bytes alone
    EXPECT_EQ(Out(std::string("\xF2\xC0", 2)), sim::UsbAnswer::Done);
    EXPECT_EQ(In(), "NAK");  // 24 bytes wait for the timer
    SleepMs(sim::kFt232rDefaultLatencyMs - 1);
    EXPECT_EQ(In(), "NAK");
    SleepMs(1);
    EXPECT_EQ(In(), kStatus + " Doing COM CHECK command");
    EXPECT_EQ(In(), "NAK");  // the timer runs again from that packet

    // The loader's echo of two records, 92 bytes: one full packet at once,
    // the rest when the timer runs out; a transfer takes whole packets.
    Chip();
    EXPECT_EQ(Out(std::string("\xE0", 1) + kRecord + kRecord), sim::UsbAnswer::Done);
    std::string echo = kRecord + ".\r\n" + kRecord + ".\r\n";
    EXPECT_EQ(In(), kStatus + echo.substr(0, 62));
    SleepMs(sim::kFt232rDefaultLatencyMs);
    EXPECT_EQ(In(10), kStatus + echo.substr(62, 8));
    EXPECT_EQ(In(), "NAK");
    SleepMs(sim::kFt232rDefaultLatencyMs);
    EXPECT_EQ(In(), kStatus + echo.substr(70));

    // The latency timer is the driver's to set (1 to 255 ms), and runs from
    // the chip's last packet: a short reply that comes 1 ms after it goes 1
    // ms later, one that comes later goes at once.
    Chip();
    std::string data;
    EXPECT_EQ(Vendor(0x40, 0x09, 2, data), sim::UsbAnswer::Done);
    EXPECT_EQ(Vendor(0xC0, 0x0A, 0, data, 1), sim::UsbAnswer::Done);
    EXPECT_EQ(data, std::string(1, 2));
    EXPECT_EQ(Vendor(0x40, 0x09, 0, data), sim::UsbAnswer::Stall);
    SleepMs(2);
    EXPECT_EQ(In(), kStatus);  // nothing waiting: the status bytes every 2 ms
    SleepMs(1);
    EXPECT_EQ(Out(std::string("\xF2\xC0", 2)), sim::UsbAnswer::Done);
    EXPECT_EQ(In(), "NAK");
    SleepMs(1);
    EXPECT_EQ(In(), kStatus + " Doing COM CHECK command");
    SleepMs(1000);
    EXPECT_EQ(In(), kStatus + "  Done COM CHECK command");
}

TEST_F(Ft232rTest, WritesWaitWhileTheChipIsFullAndStallWhenTheDeviceRefuses) {
    // A device that takes nothing: the chip's 128 bytes fill, then it waits.
    Chip("tx_drain = 0");
    EXPECT_EQ(Out(std::string(100, 'a')), sim::UsbAnswer::Done);
    EXPECT_EQ(Out(std::string(40, 'b')), sim::UsbAnswer::Done);
    EXPECT_EQ(Out("c"), sim::UsbAnswer::NotYet);
    SleepMs(60000);
    EXPECT_EQ(Out("c"), sim::UsbAnswer::NotYet);

    // One that drains 1 byte a millisecond: the write goes once 128 are left.
    Chip("tx_drain = 1");
    EXPECT_EQ(Out(std::string(140, 'a')), sim::UsbAnswer::Done);
    SleepMs(11);
    EXPECT_EQ(Out("b"), sim::UsbAnswer::NotYet);
    SleepMs(1);
    EXPECT_EQ(Out("b"), sim::UsbAnswer::Done);

    // The device refuses its second write: the endpoint stays halted until
    // the driver clears it.
    Chip("fail = FT_Write 2");
    EXPECT_EQ(Out("a"), sim::UsbAnswer::Done);
    EXPECT_EQ(Out("b"), sim::UsbAnswer::Stall);
    EXPECT_EQ(Out("c"), sim::UsbAnswer::Stall);
    sim::Ft232rClearHalt(chip_);
    EXPECT_EQ(Out("c"), sim::UsbAnswer::Done);

    // A device unplugged at its second write takes the chip off the bus:
    // from that write on nothing answers, in either direction.
    Chip("unplug_after = FT_Write 2");
    EXPECT_EQ(Out("a"), sim::UsbAnswer::Done);
    EXPECT_FALSE(sim::Ft232rUnplugged(chip_));
    EXPECT_EQ(Out("b"), sim::UsbAnswer::Gone);
    EXPECT_TRUE(sim::Ft232rUnplugged(chip_));
    EXPECT_EQ(In(), "GONE");
    std::string data;
    EXPECT_EQ(Vendor(0x40, 0x00, 0, data), sim::UsbAnswer::Gone);
}

TEST_F(Ft232rTest, DescriptorsAndOpenRequestsAreAnFt232rs) {
    Chip("devices = \"QVM7316\" [FT5K2Q1A]");
    std::string d = sim::Ft232rDeviceDescriptor(chip_);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d.substr(8, 6), std::string("\x03\x04\x01\x60\x00\x06", 6));  // 0403:6001, release 6.00
    std::string c = sim::Ft232rConfigurationDescriptor();
    ASSERT_EQ(c.size(), 32u);
    EXPECT_EQ(c.substr(18, 7), std::string("\x07\x05\x81\x02\x40\x00\x00", 7));  // bulk IN 0x81, 64 bytes
    EXPECT_EQ(c.substr(25, 7), std::string("\x07\x05\x02\x02\x40\x00\x00", 7));  // bulk OUT 0x02

    std::string data;
    EXPECT_EQ(Vendor(0x80, 6, 0x0300, data, 255), sim::UsbAnswer::Done);
    EXPECT_EQ(data, std::string("\x04\x03\x09\x04", 4));  // English (US)
    EXPECT_EQ(Vendor(0x80, 6, 0x0302, data, 255), sim::UsbAnswer::Done);
    EXPECT_EQ(data, std::string("\x10\x03Q\0V\0M\0"
                                "7\0"
                                "3\0"
                                "1\0"
                                "6\0",
                                16));
    EXPECT_EQ(Vendor(0x80, 6, 0x0303, data, 4), sim::UsbAnswer::Done);  // cut to what was asked
    EXPECT_EQ(data, std::string("\x12\x03"
                                "F\0",
                                4));
    EXPECT_EQ(Vendor(0x80, 6, 0x0304, data, 255), sim::UsbAnswer::Stall);

    // The reset's purge of the receive side drops what the device has sent.
    EXPECT_EQ(Out(std::string("\xF2\xC0", 2)), sim::UsbAnswer::Done);
    EXPECT_EQ(Vendor(0x40, 0x00, 2, data), sim::UsbAnswer::Done);
    SleepMs(sim::kFt232rDefaultLatencyMs);
    EXPECT_EQ(In(), kStatus);
    EXPECT_EQ(Vendor(0x40, 0x03, 0x4138, data), sim::UsbAnswer::Done);  // 9600 baud
    EXPECT_EQ(chip_.baudValue, 0x4138);
    EXPECT_EQ(Vendor(0x40, 0x7F, 0, data), sim::UsbAnswer::Stall);

    // A device open already (in another process on the bus) is refused.
    sim::Ft232r second;
    ASSERT_TRUE(sim::Ft232rFor(Device().location, second));
    EXPECT_FALSE(sim::Ft232rOpen(second));
    sim::Ft232rClose(chip_);
    EXPECT_TRUE(sim::Ft232rOpen(second));
    EXPECT_EQ(In(), "STALL");  // the first driver's chip is closed
}
