// A D2XX backend over the free libftdi1, for Linux (and other systems
// without Windows) where the vendor's binary-only libftd2xx.so is not
// installed, or the kernel's ftdi_sio driver holds the device: libftdi1
// detaches it when it opens the device.
//
// libftdi1 is loaded at run time, so that a machine without it gets one
// clear line rather than a program that cannot start, and the tests put a
// stand-in in its place. Each D2XX call keeps the behaviour the stages rely
// on; where libftdi1 has no such call (the receive queue, the transmit
// queue) the backend keeps what is needed itself. docs/libftdi.md says how
// each call maps and where a trace differs from the vendor driver's.
//
// The receive side is kept as the vendor driver keeps it: while a device is
// open a transfer from its chip is under way, and what it brings goes into
// the backend's receive queue the moment libusb hands it over. So a read
// returns at its time-out with what had come by then, bytes that come
// later wait for the next read, and a look at the queue costs no time.
// (libftdi1's own ftdi_read_data reads on until the chip sends a packet
// without data, a latency period after the last one: a read overshoots
// its time-out by up to that much, with the bytes that came meanwhile.)
#pragma once

#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/d2xx.h"

// The library's name as the run-time linker finds it (Debian: libftdi1-2).
inline constexpr char kLibftdiLibrary[] = "libftdi1.so.2";

// A USB device's vendor and product id.
struct UsbId {
    std::uint16_t vendor, product;
};

// The libftdi1 functions the backend calls, with libftdi1's names and
// signatures, and the libusb-1.0 ones (libftdi1's own dependency) with
// which it keeps a transfer from the chip under way, as the vendor driver
// does. The single-direction flushes and ftdi_tcioflush came with
// libftdi1 1.5 and may be null; ftdi_usb_purge_buffers, their older form,
// purges both directions where ftdi_tcioflush is missing.
struct LibftdiApi {
    ftdi_context* (*ftdi_new)();
    void (*ftdi_free)(ftdi_context* ftdi);
    int (*ftdi_usb_find_all)(ftdi_context* ftdi, ftdi_device_list** devlist, int vendor, int product);
    void (*ftdi_list_free)(ftdi_device_list** devlist);
    int (*ftdi_usb_get_strings)(ftdi_context* ftdi, struct libusb_device* dev, char* manufacturer, int mnf_len,
                                char* description, int desc_len, char* serial, int serial_len);
    int (*ftdi_usb_open_dev)(ftdi_context* ftdi, struct libusb_device* dev);
    int (*ftdi_usb_close)(ftdi_context* ftdi);
    int (*ftdi_set_latency_timer)(ftdi_context* ftdi, unsigned char latency);
    int (*ftdi_write_data)(ftdi_context* ftdi, const unsigned char* buf, int size);
    int (*ftdi_tcioflush)(ftdi_context* ftdi);          // may be null
    int (*ftdi_tciflush)(ftdi_context* ftdi);           // may be null
    int (*ftdi_tcoflush)(ftdi_context* ftdi);           // may be null
    int (*ftdi_usb_purge_buffers)(ftdi_context* ftdi);  // may be null when ftdi_tcioflush is there
    const char* (*ftdi_get_error_string)(ftdi_context* ftdi);
    // From libusb-1.0, which libftdi1 is linked with: where a device is
    // plugged in, for FT_OPEN_BY_LOCATION; and the transfer from the chip
    // that is kept under way.
    std::uint8_t (*libusb_get_bus_number)(struct libusb_device* dev);
    int (*libusb_get_port_numbers)(struct libusb_device* dev, std::uint8_t* port_numbers, int port_numbers_len);
    libusb_transfer* (*libusb_alloc_transfer)(int iso_packets);
    void (*libusb_free_transfer)(libusb_transfer* transfer);
    int (*libusb_submit_transfer)(libusb_transfer* transfer);
    int (*libusb_cancel_transfer)(libusb_transfer* transfer);
    int (*libusb_handle_events_timeout_completed)(libusb_context* ctx, struct timeval* tv, int* completed);
};

// A device's location as FT_OPEN_BY_LOCATION names it over libftdi1: its
// USB bus number in the top byte, then the port numbers of its path from
// the bus, one hexadecimal digit each (bus 3, port 1, then port 4 of the
// hub there: 0x03140000). False when the path does not fit: a port above
// 15, or more than six of them.
bool LibftdiLocation(std::uint8_t bus, const std::uint8_t* ports, int count, DWORD& location);

// The latency timer every open sets, as the vendor driver's open leaves it:
// the chip's default, until FT_SetLatencyTimer sets another (ms).
constexpr unsigned char kLibftdiLatencyMs = kChipDefaultLatencyMs;

// A write time-out of 0 asks for no limit. libftdi1 writes complete on the
// bus before they return, so a device that takes nothing would hold the
// update for ever: such a write fails after this long instead (ms), the
// time the PROM programming waits for the vendor driver's transmit queue.
constexpr int kLibftdiUnlimitedWriteMs = 5000;

// The most the backend keeps received ahead of FT_Read (bytes); beyond it
// the chip keeps what the device sends, as with the vendor driver's full
// queue.
constexpr std::size_t kLibftdiReceiveLimit = 65536;

// A transfer from the chip: libftdi1's own read size.
constexpr int kLibftdiTransferSize = 4096;

// How long a close or a purge waits for the transfer under way to be
// given back after it was cancelled (ms); a bus gives it back at once.
constexpr int kLibftdiCancelWaitMs = 1000;

// Loads libftdi1 (`library`, by default kLibftdiLibrary) and returns the
// backend (name "libftdi"), which lists and opens the attached FTDI devices
// of FTDI's own vendor and product ids and of `extraIds`. Null with the
// reason in one line when the library cannot be loaded or lacks a function.
const D2xxOps* LoadLibftdiD2xx(const std::vector<UsbId>& extraIds, std::string& reason,
                               const char* library = kLibftdiLibrary);

// The backend over a given set of libftdi1 functions: the tests' stand-in.
// Starts afresh: connections of an earlier call are forgotten, not closed.
const D2xxOps* LibftdiD2xx(const LibftdiApi& api, const std::vector<UsbId>& extraIds);
