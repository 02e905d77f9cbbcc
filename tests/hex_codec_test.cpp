// The hex text codec: digits, hex bytes and words read from and written to
// text in memory, the running checksum, and the close of a written file.
#include "image/hex_codec.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <string>

#include "platform/log.h"
#include "protocol/status.h"
#include "update/process_state.h"
#include "update/stage.h"

namespace {

// A file holding text, positioned at its start.
std::FILE* FileWith(const std::string& text) {
    std::FILE* file = std::tmpfile();
    std::fputs(text.c_str(), file);
    std::rewind(file);
    return file;
}

std::string Written(void (*write)(unsigned, std::string&), unsigned value) {
    std::string text = "<";
    write(value, text);
    return text.substr(1);  // appended to what was there
}

class HexCodecTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProcessState(); }
};

}  // namespace

TEST_F(HexCodecTest, DigitsAreUpperCaseOutAndEitherCaseIn) {
    EXPECT_EQ(NibbleToHexChar(0x3C), 'C');  // only the low 4 bits count
    EXPECT_EQ(NibbleToHexChar(9), '9');
    EXPECT_EQ(NibbleToHexChar(10), 'A');
    for (unsigned v = 0; v < 16; ++v) EXPECT_EQ(HexCharToNibble(NibbleToHexChar(v)), v);
    EXPECT_EQ(HexCharToNibble('b'), 11u);
    EXPECT_EQ(HexCharToNibble('B'), 11u);
    // No validation: any character gives a nibble.
    EXPECT_EQ(HexCharToNibble('G'), 0u);
    EXPECT_EQ(HexCharToNibble(':'), 10u);
    EXPECT_EQ(HexCharToNibble('\r'), 13u);
    EXPECT_EQ(HexCharToNibble(0xFF), 8u);  // a high byte is taken as unsigned
}

TEST_F(HexCodecTest, ReadHexByteAddsWholeBytesToTheRunningChecksum) {
    TextReader in{"7fFF"};
    EXPECT_EQ(ReadHexByte(in), 0x7Fu);
    EXPECT_EQ(g_runningChecksum, 0x7F);
    g_runningChecksum = 0x02;
    EXPECT_EQ(ReadHexByte(in), 0xFFu);
    EXPECT_EQ(g_runningChecksum, 0x01);
    // At the end of the text: 0, and the checksum stays.
    EXPECT_EQ(ReadHexByte(in), 0u);
    EXPECT_EQ(g_runningChecksum, 0x01);
    EXPECT_EQ(in.at, 4u);

    TextReader last{"A"};
    EXPECT_EQ(ReadHexByte(last), 0xA0u);  // one digit left
    EXPECT_EQ(g_runningChecksum, 0x01);
}

TEST_F(HexCodecTest, ReadHexWordIsHighByteFirst) {
    TextReader in{"0078fff8"};
    EXPECT_EQ(ReadHexWord(in), 0x0078u);
    EXPECT_EQ(ReadHexWord(in), 0xFFF8u);
}

TEST_F(HexCodecTest, WritesAreUpperCaseAndLeaveTheChecksum) {
    g_runningChecksum = 0x42;
    EXPECT_EQ(Written(WriteHexByte, 0x0A), "0A");
    EXPECT_EQ(Written(WriteHexByte, 0x1AB), "AB");
    EXPECT_EQ(Written(WriteHexWord, 0x0080), "0080");
    EXPECT_EQ(Written(WriteHexWord, 0xBEEF), "BEEF");
    EXPECT_EQ(Written(WriteHexWord, 0x10000), "0000");
    EXPECT_EQ(g_runningChecksum, 0x42);
}

TEST_F(HexCodecTest, CloseImageFileReportsAFailedClose) {
    std::string log;
    LogToBuffer(&log);
    EXPECT_EQ(CloseImageFile(FileWith("x")), 0);
    // /dev/full takes the byte into the buffer and refuses it at the close.
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::fputc('x', full);
    EXPECT_EQ(CloseImageFile(full), FILE_CLOSE_FAILURE);
    // Unbuffered, the write fails at once and the close itself goes well:
    // the file is incomplete all the same.
    full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    std::fwrite("xyz", 1, 3, full);
    EXPECT_EQ(CloseImageFile(full), FILE_CLOSE_FAILURE);
    LogToBuffer(nullptr);
    EXPECT_EQ(log, "error closing file\nerror closing file\n");
}
