// The D2XX calls over libftdi1. docs/libftdi.md gives the mapping call by
// call and what differs from the vendor driver.
#include "platform/d2xx_libftdi.h"

#include <dlfcn.h>
#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// A run of received bytes and when libusb handed them over (program clock).
struct Piece {
    std::uint64_t at;
    std::size_t count;
};

// One open device: its libftdi1 context, what has come from the chip and
// not yet been read (libftdi1 has no receive queue to ask about), the
// transfer that brings it, and the read time-out. The handle handed out is
// its address.
struct Connection {
    explicit Connection(ftdi_context* context) : ftdi(context) {}
    ftdi_context* ftdi;
    DWORD readTimeoutMs = 0;  // 0: none, the read waits for all it asked for
    std::deque<unsigned char> received;
    std::deque<Piece> pieces;  // when each part of `received` came, in order
    libusb_transfer* transfer = nullptr;
    std::vector<unsigned char> packets = std::vector<unsigned char>(kLibftdiTransferSize);
    bool underWay = false;   // the transfer is submitted and not yet handed back
    bool cancelled = false;  // what it brings is dropped (a purge, the close)
    bool failed = false;     // reception stopped: the device is gone, or its endpoint stalled
};

// An attached device as the last count of the devices found it.
struct ListedDevice {
    std::string description;
    std::string serial;
    std::string error;      // why its strings could not be read; empty when they could
    bool noAccess = false;  // they could not be read for want of opening it
    std::optional<DWORD> location;
};

// libftdi1's answer when it cannot open a device to read its strings: no
// access rights, or the device held by another program.
constexpr int kLibftdiCannotOpen = -4;

// A USB string descriptor holds at most 126 characters.
constexpr int kUsbStringSize = 128;
// The status bytes the chip puts at the start of every packet it sends.
constexpr std::size_t kChipStatusBytes = 2;
// A wait without a time-out looks this often whether a stop is requested (ms).
constexpr std::uint64_t kStopCheckMs = 100;

LibftdiApi g_api{};
// The ids searched, in order: {0, 0} stands for FTDI's own ids (libftdi1's
// list of them), then the extra ones.
std::vector<UsbId> g_ids;
std::vector<std::unique_ptr<Connection>> g_connections;
// The devices as the last FT_ListDevices count found them; the index
// queries that follow answer from it, so that the indexes keep to the count.
std::vector<ListedDevice> g_listing;
bool g_listed = false;

const char* ErrorText(ftdi_context* ftdi) {
    const char* text = g_api.ftdi_get_error_string(ftdi);
    return text && *text ? text : "no reason given";
}

// A text as the vendor's listing gives it: at most 63 characters, so that
// it fits the 64-byte buffer with its terminating zero.
std::string Listed(const char* text) { return std::string(text, strnlen(text, FT_DESCRIPTION_SIZE - 1)); }

// Reads a device's description and serial number. A chip without a serial
// number string (a dual chip without its EEPROM, say) is listed with an
// empty one, as the vendor driver lists it.
bool ReadStrings(ftdi_context* ftdi, struct libusb_device* dev, ListedDevice& out) {
    char description[kUsbStringSize] = {}, serial[kUsbStringSize] = {};
    if (g_api.ftdi_usb_get_strings(ftdi, dev, nullptr, 0, description, kUsbStringSize, serial, kUsbStringSize) < 0) {
        serial[0] = '\0';
        if (int result = g_api.ftdi_usb_get_strings(ftdi, dev, nullptr, 0, description, kUsbStringSize, nullptr, 0);
            result < 0) {
            out.error = ErrorText(ftdi);
            out.noAccess = result == kLibftdiCannotOpen;
            return false;
        }
    }
    description[kUsbStringSize - 1] = serial[kUsbStringSize - 1] = '\0';
    out.description = Listed(description);
    out.serial = Listed(serial);
    return true;
}

// Where the device is plugged in; empty when its path does not fit a
// location.
std::optional<DWORD> LocationOf(struct libusb_device* dev) {
    std::uint8_t ports[8];
    int count = g_api.libusb_get_port_numbers(dev, ports, sizeof ports);
    DWORD location = 0;
    if (count < 0 || !LibftdiLocation(g_api.libusb_get_bus_number(dev), ports, count, location)) return std::nullopt;
    return location;
}

// Visits every attached device of a searched id once, in the library's
// order, until `visit` returns true. The devices stay valid during the
// visit. Returns the library's error (below 0) when a search failed, else 0.
template <typename Visit>
int ForEachDevice(ftdi_context* ftdi, Visit visit) {
    std::vector<ftdi_device_list*> lists;
    std::vector<struct libusb_device*> seen;  // an extra id may repeat one of FTDI's
    int result = 0;
    for (const UsbId& id : g_ids) {
        ftdi_device_list* list = nullptr;
        int found = g_api.ftdi_usb_find_all(ftdi, &list, id.vendor, id.product);
        lists.push_back(list);
        if (found < 0) {
            result = found;
            break;
        }
        bool done = false;
        for (ftdi_device_list* at = list; at && !done; at = at->next) {
            if (std::find(seen.begin(), seen.end(), at->dev) != seen.end()) continue;
            seen.push_back(at->dev);
            done = visit(at->dev);
        }
        if (done) break;
    }
    for (ftdi_device_list*& list : lists) g_api.ftdi_list_free(&list);
    return result;
}

// Lists the attached devices afresh, with their strings.
FT_STATUS ListDevices() {
    g_listing.clear();
    g_listed = false;
    ftdi_context* ftdi = g_api.ftdi_new();
    if (!ftdi) {
        Log("libftdi: cannot start libusb to list the FTDI devices\n");
        return FT_INSUFFICIENT_RESOURCES;
    }
    int result = ForEachDevice(ftdi, [&](struct libusb_device* dev) {
        ListedDevice device;
        ReadStrings(ftdi, dev, device);
        device.location = LocationOf(dev);
        g_listing.push_back(device);
        return false;
    });
    if (result < 0) Log("libftdi: cannot list the FTDI devices: %s\n", ErrorText(ftdi));
    g_api.ftdi_free(ftdi);
    if (result < 0) {
        g_listing.clear();
        return FT_IO_ERROR;
    }
    g_listed = true;
    return FT_OK;
}

Connection* Opened(FT_HANDLE h) {
    for (auto& c : g_connections)
        if (c.get() == h) return c.get();
    return nullptr;
}

// Keeps received bytes, handed over now.
void Keep(Connection& c, const unsigned char* from, const unsigned char* to) {
    if (from == to) return;
    std::size_t count = static_cast<std::size_t>(to - from);
    std::uint64_t now = NowMs();
    c.received.insert(c.received.end(), from, to);
    if (!c.pieces.empty() && c.pieces.back().at == now)
        c.pieces.back().count += count;
    else
        c.pieces.push_back({now, count});
}

// What a transfer from the chip brought: packets of the chip's packet size,
// each starting with two status bytes.
void LIBUSB_CALL Arrived(libusb_transfer* transfer) {
    Connection& c = *static_cast<Connection*>(transfer->user_data);
    c.underWay = false;
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            return;
        default:  // the device is gone, or its endpoint stalled
            c.failed = true;
            return;
    }
    if (c.cancelled) return;
    std::size_t packetSize = std::max<std::size_t>(c.ftdi->max_packet_size, kChipStatusBytes + 1);
    std::size_t length = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    for (std::size_t at = 0; at < length; at += packetSize)
        if (at + kChipStatusBytes < length)
            Keep(c, c.packets.data() + at + kChipStatusBytes, c.packets.data() + std::min(at + packetSize, length));
}

// Puts a transfer from the chip under way, unless one is, reception has
// failed, or the receive queue has no room for what it may bring (the chip
// then keeps what comes).
void StartTransfer(Connection& c) {
    if (c.underWay || c.failed ||
        kLibftdiReceiveLimit - std::min(c.received.size(), kLibftdiReceiveLimit) < c.packets.size())
        return;
    if (!c.transfer) c.transfer = g_api.libusb_alloc_transfer(0);
    if (!c.transfer) {
        c.failed = true;
        return;
    }
    // libftdi1 names the endpoint it reads from its "out" endpoint.
    libusb_fill_bulk_transfer(c.transfer, c.ftdi->usb_dev, static_cast<unsigned char>(c.ftdi->out_ep), c.packets.data(),
                              static_cast<int>(c.packets.size()), Arrived, &c, 0);
    c.cancelled = false;
    if (g_api.libusb_submit_transfer(c.transfer) < 0)
        c.failed = true;
    else
        c.underWay = true;
}

// Takes what the chip has sent, waiting up to `waitMs` for something to
// come (0: only what has come already). Returns false when reception has
// failed.
bool Receive(Connection& c, std::uint64_t waitMs) {
    StartTransfer(c);
    if (c.underWay) {
        timeval wait{static_cast<time_t>(waitMs / 1000), static_cast<suseconds_t>(waitMs % 1000 * 1000)};
        g_api.libusb_handle_events_timeout_completed(c.ftdi->usb_ctx, &wait, nullptr);
        StartTransfer(c);
    }
    return !c.failed;
}

// Cancels the transfer under way and waits until libusb gives it back;
// what it brought is dropped. False when it was not given back in time: it
// must then not be freed.
bool StopTransfer(Connection& c) {
    if (!c.underWay) return true;
    c.cancelled = true;
    g_api.libusb_cancel_transfer(c.transfer);
    std::uint64_t start = NowMs();
    while (c.underWay && NowMs() - start < static_cast<std::uint64_t>(kLibftdiCancelWaitMs)) {
        timeval wait{0, 10000};
        g_api.libusb_handle_events_timeout_completed(c.ftdi->usb_ctx, &wait, nullptr);
    }
    return !c.underWay;
}

// Moves up to `count` received bytes that had come by `until` to `out`;
// returns how many.
DWORD TakeReceived(Connection& c, unsigned char* out, DWORD count, std::uint64_t until) {
    DWORD n = 0;
    while (n < count && !c.pieces.empty() && c.pieces.front().at <= until) {
        Piece& piece = c.pieces.front();
        std::size_t take = std::min<std::size_t>(count - n, piece.count);
        std::copy_n(c.received.begin(), take, out + n);
        c.received.erase(c.received.begin(), c.received.begin() + static_cast<std::ptrdiff_t>(take));
        n += static_cast<DWORD>(take);
        piece.count -= take;
        if (piece.count == 0) c.pieces.pop_front();
    }
    return n;
}

// Puts bytes taken back at the front, as received before anything else.
void GiveBack(Connection& c, const unsigned char* bytes, DWORD count) {
    if (count == 0) return;
    c.received.insert(c.received.begin(), bytes, bytes + count);
    c.pieces.push_front({0, count});
}

FT_STATUS WINAPI LibftdiListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    if (Flags & FT_LIST_NUMBER_ONLY) {
        if (!pArg1) return FT_INVALID_PARAMETER;
        FT_STATUS status = ListDevices();
        if (status == FT_OK) *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(g_listing.size());
        return status;
    }
    DWORD naming = D2xxNaming(Flags);
    if (!(Flags & FT_LIST_BY_INDEX) || naming == 0 || (Flags & FT_LIST_ALL)) return FT_INVALID_PARAMETER;
    if (!g_listed)
        if (FT_STATUS status = ListDevices(); status != FT_OK) return status;
    std::uintptr_t index = reinterpret_cast<std::uintptr_t>(pArg1);
    if (index >= g_listing.size()) return FT_DEVICE_NOT_FOUND;
    if (!pArg2) return FT_INVALID_PARAMETER;
    const ListedDevice& device = g_listing[index];
    if (naming == FT_OPEN_BY_LOCATION) {
        if (!device.location) return FT_OTHER_ERROR;
        *static_cast<DWORD*>(pArg2) = *device.location;
        return FT_OK;
    }
    // A device this user may not open, or another program holds, is one
    // the caller can pass over; any other failure is the listing's own.
    if (device.noAccess) return FT_DEVICE_NOT_OPENED;
    if (!device.error.empty()) {
        Log("libftdi: cannot read the names of FTDI device %u: %s\n", static_cast<unsigned>(index),
            device.error.c_str());
        return FT_IO_ERROR;
    }
    const std::string& text = naming == FT_OPEN_BY_SERIAL_NUMBER ? device.serial : device.description;
    char* out = static_cast<char*>(pArg2);
    std::memset(out, 0, FT_DESCRIPTION_SIZE);
    std::memcpy(out, text.data(), text.size());
    return FT_OK;
}

// The description the last listing gave a serial number: an open by that
// serial number takes only a device that still has it, so that another
// device given the same serial number meanwhile is not taken for it.
const std::string* ListedDescription(const std::string& serial) {
    for (const ListedDevice& d : g_listing)
        if (d.error.empty() && d.serial == serial) return &d.description;
    return nullptr;
}

FT_STATUS WINAPI LibftdiOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    DWORD naming = D2xxNaming(Flags);
    bool byLocation = naming == FT_OPEN_BY_LOCATION;
    if (naming != Flags || naming == 0 || (!pArg1 && !byLocation) || !pHandle) return FT_INVALID_PARAMETER;
    const DWORD location = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
    char locationText[24];
    std::snprintf(locationText, sizeof locationText, "location 0x%08X", static_cast<unsigned>(location));
    const std::string name = byLocation ? locationText : static_cast<const char*>(pArg1);
    const std::string* description = naming == FT_OPEN_BY_SERIAL_NUMBER && g_listed ? ListedDescription(name) : nullptr;
    ftdi_context* ftdi = g_api.ftdi_new();
    if (!ftdi) return FT_INSUFFICIENT_RESOURCES;
    // The kernel's ftdi_sio driver is detached and stays so after the close:
    // given back between two stages, it would set the line up its own way,
    // and a modem manager might probe the new serial port by writing to it.
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;

    // The first device in listing order at that location, or named exactly
    // so, as the listing gives its names.
    bool found = false;
    int opened = -1;
    int result = ForEachDevice(ftdi, [&](struct libusb_device* dev) {
        if (byLocation) {
            if (LocationOf(dev) != location) return false;
        } else {
            ListedDevice device;
            if (!ReadStrings(ftdi, dev, device)) return false;
            if ((naming == FT_OPEN_BY_SERIAL_NUMBER ? device.serial : device.description) != name) return false;
            if (description && device.description != *description) return false;
        }
        found = true;
        // libftdi1 claims the interface (a device another process holds
        // is busy and refused), resets the chip and sets 9600 baud.
        opened = g_api.ftdi_usb_open_dev(ftdi, dev);
        return true;
    });
    FT_STATUS status = FT_OK;
    if (result < 0) {
        Log("libftdi: cannot list the FTDI devices: %s\n", ErrorText(ftdi));
        status = FT_IO_ERROR;
    } else if (!found) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (opened < 0 || g_api.ftdi_set_latency_timer(ftdi, kLibftdiLatencyMs) < 0) {
        Log("libftdi: cannot open %s: %s\n",
            byLocation ? name.c_str() : QuoteForMessage(name, FT_DESCRIPTION_SIZE).c_str(), ErrorText(ftdi));
        if (opened >= 0) g_api.ftdi_usb_close(ftdi);
        status = FT_DEVICE_NOT_OPENED;
    }
    if (status != FT_OK) {
        g_api.ftdi_free(ftdi);
        return status;
    }
    ftdi->usb_write_timeout = kLibftdiUnlimitedWriteMs;
    g_connections.push_back(std::make_unique<Connection>(ftdi));
    *pHandle = g_connections.back().get();
    return FT_OK;
}

FT_STATUS WINAPI LibftdiClose(FT_HANDLE h) {
    auto it = std::find_if(g_connections.begin(), g_connections.end(), [h](const auto& c) { return c.get() == h; });
    if (it == g_connections.end()) return FT_INVALID_HANDLE;
    std::unique_ptr<Connection> c = std::move(*it);
    g_connections.erase(it);
    bool givenBack = StopTransfer(*c);
    int closed = g_api.ftdi_usb_close(c->ftdi);
    if (!givenBack) {
        // libusb may still hand the transfer back: its memory must stay.
        c.release();
        return FT_IO_ERROR;
    }
    if (c->transfer) g_api.libusb_free_transfer(c->transfer);
    g_api.ftdi_free(c->ftdi);
    return closed < 0 ? FT_IO_ERROR : FT_OK;
}

// Returns when `count` bytes have come or the read time-out has passed
// (FT_OK with fewer, maybe none): what came after that, even while the
// read was returning, waits for the next read. Without a time-out it waits
// for all of them, or until a stop of the update is requested: the stop
// then takes effect at the next call.
FT_STATUS WINAPI LibftdiRead(FT_HANDLE h, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
    if (lpBytesReturned) *lpBytesReturned = 0;
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    if (!lpBuffer || !lpBytesReturned) return FT_INVALID_PARAMETER;
    auto* out = static_cast<unsigned char*>(lpBuffer);
    std::uint64_t until = c->readTimeoutMs ? NowMs() + c->readTimeoutMs : UINT64_MAX;

    DWORD got = TakeReceived(*c, out, dwBytesToRead, until);
    while (got < dwBytesToRead) {
        std::uint64_t now = NowMs(), waitMs = kStopCheckMs;
        if (c->readTimeoutMs) {
            if (now >= until) break;
            waitMs = until - now;
        } else if (StopRequested()) {
            break;
        }
        if (!Receive(*c, waitMs)) {
            // Nothing received is lost: what came before the failure
            // waits for the next read.
            GiveBack(*c, out, got);
            return FT_IO_ERROR;
        }
        got += TakeReceived(*c, out + got, dwBytesToRead - got, until);
    }
    *lpBytesReturned = got;
    return FT_OK;
}

// libftdi1's write returns once the USB transfers are done; a failed one,
// or fewer bytes than asked for, is a failed write.
FT_STATUS WINAPI LibftdiWrite(FT_HANDLE h, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
    if (lpBytesWritten) *lpBytesWritten = 0;
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    if (!lpBuffer || !lpBytesWritten || dwBytesToWrite > INT_MAX) return FT_INVALID_PARAMETER;
    if (dwBytesToWrite == 0) return FT_OK;
    int n =
        g_api.ftdi_write_data(c->ftdi, static_cast<const unsigned char*>(lpBuffer), static_cast<int>(dwBytesToWrite));
    if (n < 0) return FT_IO_ERROR;
    *lpBytesWritten = static_cast<DWORD>(n);
    return *lpBytesWritten == dwBytesToWrite ? FT_OK : FT_IO_ERROR;
}

// Empties the chip's buffers in the directions asked for; an emptied
// receive side drops what was received and the transfer under way too.
// Before libftdi1 1.5 the one-way purges were named the wrong way round, so
// only the both-ways one is taken from an older library.
FT_STATUS WINAPI LibftdiPurge(FT_HANDLE h, ULONG Mask) {
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    bool rx = Mask & FT_PURGE_RX, tx = Mask & FT_PURGE_TX;
    int (*flush)(ftdi_context*) = nullptr;
    if (rx && tx)
        flush = g_api.ftdi_tcioflush ? g_api.ftdi_tcioflush : g_api.ftdi_usb_purge_buffers;
    else if (rx)
        flush = g_api.ftdi_tciflush;
    else if (tx)
        flush = g_api.ftdi_tcoflush;
    else
        return FT_OK;
    if (!flush) return FT_OTHER_ERROR;
    if (rx && !StopTransfer(*c)) return FT_IO_ERROR;
    if (flush(c->ftdi) < 0) return FT_IO_ERROR;
    if (rx) {
        c->received.clear();
        c->pieces.clear();
    }
    return FT_OK;
}

FT_STATUS WINAPI LibftdiSetTimeouts(FT_HANDLE h, ULONG ReadTimeout, ULONG WriteTimeout) {
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    c->readTimeoutMs = ReadTimeout;
    c->ftdi->usb_write_timeout =
        WriteTimeout ? static_cast<int>(std::min<ULONG>(WriteTimeout, INT_MAX)) : kLibftdiUnlimitedWriteMs;
    return FT_OK;
}

FT_STATUS WINAPI LibftdiSetLatencyTimer(FT_HANDLE h, UCHAR ucTimer) {
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    if (ucTimer < kLatencyTimerMinMs) return FT_INVALID_PARAMETER;
    return g_api.ftdi_set_latency_timer(c->ftdi, ucTimer) < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS WINAPI LibftdiGetQueueStatus(FT_HANDLE h, DWORD* dwRxBytes) {
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    if (!dwRxBytes) return FT_INVALID_PARAMETER;
    if (!Receive(*c, 0)) return FT_IO_ERROR;
    *dwRxBytes = static_cast<DWORD>(c->received.size());
    return FT_OK;
}

// The transmit queue is always empty: libftdi1's write returns only when
// the chip has taken every byte (it holds the USB transfer back while its
// own buffer is full), so no byte waits on the host's side, where the
// vendor driver counts them. The pace the PROM programming keeps by the
// vendor's count comes from the write itself here.
FT_STATUS WINAPI LibftdiGetStatus(FT_HANDLE h, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord) {
    Connection* c = Opened(h);
    if (!c) return FT_INVALID_HANDLE;
    if (!dwRxBytes || !dwTxBytes || !dwEventDWord) return FT_INVALID_PARAMETER;
    if (!Receive(*c, 0)) return FT_IO_ERROR;
    *dwRxBytes = static_cast<DWORD>(c->received.size());
    *dwTxBytes = 0;
    *dwEventDWord = 0;
    return FT_OK;
}

const D2xxOps kLibftdi = {"libftdi",
#define LIBFTDI_ENTRY(call, params, args) Libftdi##call,
                          D2XX_CALLS(LIBFTDI_ENTRY)
#undef LIBFTDI_ENTRY
};

// The library's functions as loaded; the name of the first one missing.
template <typename Fn>
void Resolve(void* lib, const char* name, Fn& slot, const char*& missing, bool needed = true) {
    slot = reinterpret_cast<Fn>(dlsym(lib, name));
    if (!slot && needed && !missing) missing = name;
}

}  // namespace

bool LibftdiLocation(std::uint8_t bus, const std::uint8_t* ports, int count, DWORD& location) {
    constexpr int kMostPorts = 6;
    if (count < 0 || count > kMostPorts) return false;
    location = static_cast<DWORD>(bus) << 24;
    for (int i = 0; i < count; ++i) {
        if (ports[i] == 0 || ports[i] > 15) return false;
        location |= static_cast<DWORD>(ports[i]) << (20 - 4 * i);
    }
    return true;
}

const D2xxOps* LoadLibftdiD2xx(const std::vector<UsbId>& extraIds, std::string& reason, const char* library) {
    void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        reason = std::string("libftdi1 could not be loaded (") + (why ? why : library) +
                 ") - is libftdi1 installed (Debian: libftdi1-2)?";
        return nullptr;
    }
    LibftdiApi api{};
    const char* missing = nullptr;
#define LIBFTDI_RESOLVE(name, ...) Resolve(lib, #name, api.name, missing __VA_OPT__(, ) __VA_ARGS__)
    LIBFTDI_RESOLVE(ftdi_new);
    LIBFTDI_RESOLVE(ftdi_free);
    LIBFTDI_RESOLVE(ftdi_usb_find_all);
    LIBFTDI_RESOLVE(ftdi_list_free);
    LIBFTDI_RESOLVE(ftdi_usb_get_strings);
    LIBFTDI_RESOLVE(ftdi_usb_open_dev);
    LIBFTDI_RESOLVE(ftdi_usb_close);
    LIBFTDI_RESOLVE(ftdi_set_latency_timer);
    LIBFTDI_RESOLVE(ftdi_write_data);
    LIBFTDI_RESOLVE(ftdi_get_error_string);
    LIBFTDI_RESOLVE(ftdi_tcioflush, false);
    LIBFTDI_RESOLVE(ftdi_tciflush, false);
    LIBFTDI_RESOLVE(ftdi_tcoflush, false);
    LIBFTDI_RESOLVE(ftdi_usb_purge_buffers, api.ftdi_tcioflush == nullptr);
    // libusb-1.0, which libftdi1 has loaded: found through its dependencies.
    LIBFTDI_RESOLVE(libusb_get_bus_number);
    LIBFTDI_RESOLVE(libusb_get_port_numbers);
    LIBFTDI_RESOLVE(libusb_alloc_transfer);
    LIBFTDI_RESOLVE(libusb_free_transfer);
    LIBFTDI_RESOLVE(libusb_submit_transfer);
    LIBFTDI_RESOLVE(libusb_cancel_transfer);
    LIBFTDI_RESOLVE(libusb_handle_events_timeout_completed);
#undef LIBFTDI_RESOLVE
    if (missing) {
        reason = std::string(library) + " lacks " + missing + " - is it libftdi1?";
        dlclose(lib);
        return nullptr;
    }
    return LibftdiD2xx(api, extraIds);
}

const D2xxOps* LibftdiD2xx(const LibftdiApi& api, const std::vector<UsbId>& extraIds) {
    g_api = api;
    g_ids.assign(1, UsbId{0, 0});
    g_ids.insert(g_ids.end(), extraIds.begin(), extraIds.end());
    g_connections.clear();
    g_listing.clear();
    g_listed = false;
    return &kLibftdi;
}
