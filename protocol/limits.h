// What the device can take, in the units of its protocol. The image checks,
// the stages and the emulated device all hold to these.
#pragma once

#include <cstdint>

// The PROM: 256-byte pages, each sent as one line of hexadecimal text. A
// 16-bit page number and a 24-bit address reach 65,536 pages: 16 MiB.
constexpr std::uint32_t kPromPageSize = 256;
constexpr std::uint32_t kPromPageCount = 65536;

// The gate array: served in 32-byte blocks that the device asks for by the
// position of their first byte, from 1 up, in at most six decimal digits.
// The last block it can ask for starts at 999,999 and ends at byte 1,000,030.
constexpr std::uint32_t kGateArrayBlockSize = 32;
constexpr std::uint32_t kLargestBlockRequest = 999999;
constexpr std::uint32_t kGateArrayLengthLimit = kLargestBlockRequest + kGateArrayBlockSize - 1;
// Asked for block after block from position 1, 33, 65, ..., the last block
// a request can name starts at 999,969 and ends at byte 1,000,000: the most
// of an image that reaches the gate array.
constexpr std::uint32_t kGateArrayImageLimit =
    (kLargestBlockRequest - 1) / kGateArrayBlockSize * kGateArrayBlockSize + kGateArrayBlockSize;

// The processor's loader: the firmware's records are cut at multiples of
// 128 bytes of their 16-bit address, and the loader's answer to a record of
// more than 18 data bytes does not fit the 50 bytes read for it, so such a
// record can never be accepted.
constexpr std::uint32_t kRecordBoundary = 128;
constexpr std::uint32_t kLoaderRecordLimit = 18;
