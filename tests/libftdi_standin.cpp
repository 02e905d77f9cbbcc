#include "libftdi_standin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/ft232r.h"

namespace {

LibftdiStandin g_standin;
// The open contexts, each with the chip in front of its emulated device.
std::map<ftdi_context*, sim::Ft232r> g_open;
// Transfers from a chip under way, in the order they were submitted, and
// those cancelled, which end at the next wait.
std::vector<libusb_transfer*> g_transfers;
std::vector<libusb_transfer*> g_cancelled;
// Every transfer allocated and not yet freed: those of connections a test
// left open are freed when the stand-in starts afresh.
std::set<libusb_transfer*> g_allocated;

const D2xxOps& Emulator() { return *sim::EmulatorD2xx(); }

// An emulated device's libusb_device stands for its location, which is
// never 0.
struct libusb_device* Token(DWORD location) {
    return reinterpret_cast<struct libusb_device*>(static_cast<std::uintptr_t>(location));
}
DWORD LocationOf(struct libusb_device* dev) { return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(dev)); }

// The emulated device a token stands for; null once it is gone.
const sim::Device* DeviceOf(struct libusb_device* dev) { return sim::DeviceAt(LocationOf(dev)); }

int Fail(ftdi_context* ftdi, int code, const char* text) {
    ftdi->error_str = text;
    return code;
}

// The locations of the emulated devices in the emulator's listing order,
// listed all at once: the stand-in's own looks are not the program's calls.
std::vector<DWORD> Attached() {
    std::vector<DWORD> locations(128);
    DWORD count = 0;
    Emulator().ListDevices(locations.data(), &count, FT_LIST_ALL | FT_OPEN_BY_LOCATION);
    locations.resize(count);
    return locations;
}

ftdi_context* StandinNew() {
    auto* ftdi = new ftdi_context{};
    ftdi->usb_read_timeout = ftdi->usb_write_timeout = 5000;
    ftdi->module_detach_mode = DONT_DETACH_SIO_MODULE;  // the backend must choose
    return ftdi;
}

int StandinUsbClose(ftdi_context* ftdi) {
    auto at = g_open.find(ftdi);
    if (at == g_open.end()) return Fail(ftdi, -3, "ftdi context invalid");
    FT_STATUS status = Emulator().Close(at->second.device);
    at->second.device = nullptr;
    g_open.erase(at);
    ftdi->usb_dev = nullptr;
    return status == FT_OK ? 0 : Fail(ftdi, -1, "usb_release failed");
}

void StandinFree(ftdi_context* ftdi) {
    if (g_open.count(ftdi)) StandinUsbClose(ftdi);
    delete ftdi;
}

// FTDI's own ids for vendor and product 0, as libftdi1 takes them.
bool Matches(UsbId id, int vendor, int product) {
    if (vendor || product) return id.vendor == vendor && id.product == product;
    static const std::uint16_t kProducts[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
    return id.vendor == 0x0403 && std::count(std::begin(kProducts), std::end(kProducts), id.product) > 0;
}

int StandinFindAll(ftdi_context*, ftdi_device_list** devlist, int vendor, int product) {
    int found = 0;
    ftdi_device_list** tail = devlist;
    *devlist = nullptr;
    for (DWORD location : Attached()) {
        auto id = g_standin.ids.find(sim::DeviceAt(location)->serial);
        if (!Matches(id == g_standin.ids.end() ? UsbId{0x0403, 0x6001} : id->second, vendor, product)) continue;
        *tail = new ftdi_device_list{nullptr, Token(location)};
        tail = &(*tail)->next;
        ++found;
    }
    return found;
}

void StandinListFree(ftdi_device_list** devlist) {
    while (*devlist) {
        ftdi_device_list* next = (*devlist)->next;
        delete *devlist;
        *devlist = next;
    }
}

void Copy(const std::string& text, char* out, int size) {
    if (!out || size <= 0) return;
    std::strncpy(out, text.c_str(), static_cast<std::size_t>(size) - 1);
    out[size - 1] = '\0';
}

int StandinGetStrings(ftdi_context* ftdi, struct libusb_device* dev, char* manufacturer, int mnf_len, char* description,
                      int desc_len, char* serial, int serial_len) {
    const sim::Device* device = DeviceOf(dev);
    if (!device || device->noAccess) return Fail(ftdi, -4, "libusb_open() failed");
    const std::string& sn = device->serial;
    if (serial && g_standin.withoutSerial.count(sn)) return Fail(ftdi, -9, "unable to fetch serial number");
    if (g_standin.brokenStrings.count(sn)) return Fail(ftdi, -8, "get product description failed");
    auto longer = g_standin.descriptions.find(sn);
    Copy("FTDI", manufacturer, mnf_len);
    Copy(longer != g_standin.descriptions.end() ? longer->second : device->description, description, desc_len);
    Copy(sn, serial, serial_len);
    return 0;
}

// Claims the emulated device, which refuses when it is open already, in
// this process or another on the same bus: libusb's busy interface.
int StandinOpenDev(ftdi_context* ftdi, struct libusb_device* dev) {
    const sim::Device* device = DeviceOf(dev);
    if (!device || device->noAccess) return Fail(ftdi, -4, "libusb_open() failed");
    sim::Ft232r chip;
    if (!sim::Ft232rFor(LocationOf(dev), chip) || !sim::Ft232rOpen(chip))
        return Fail(ftdi, -5, "unable to claim usb device. Make sure the default FTDI driver is not in use");
    g_open[ftdi] = chip;
    ftdi->usb_dev = reinterpret_cast<struct libusb_device_handle*>(dev);
    ftdi->baudrate = 9600;
    ftdi->max_packet_size = sim::kFt232rPacketSize;
    ftdi->out_ep = 0x81;
    g_standin.lastOpened = ftdi;
    return 0;
}

sim::Ft232r* Chip(ftdi_context* ftdi) {
    auto at = g_open.find(ftdi);
    return at == g_open.end() ? nullptr : &at->second;
}

FT_HANDLE Handle(ftdi_context* ftdi) {
    sim::Ft232r* chip = Chip(ftdi);
    return chip ? chip->device : nullptr;
}

int StandinSetLatency(ftdi_context* ftdi, unsigned char latency) {
    sim::Ft232r* chip = Chip(ftdi);
    if (!chip) return Fail(ftdi, -3, "USB device unavailable");
    if (g_standin.latencyRefused) return Fail(ftdi, -1, "unable to set latency timer");
    g_standin.latencyMs = latency;
    chip->latencyMs = latency;
    return 0;
}

libusb_transfer* StandinAllocTransfer(int) { return *g_allocated.insert(new libusb_transfer{}).first; }
void StandinFreeTransfer(libusb_transfer* transfer) {
    g_allocated.erase(transfer);
    delete transfer;
}

int StandinSubmitTransfer(libusb_transfer* transfer) {
    g_transfers.push_back(transfer);
    return 0;
}

int StandinCancelTransfer(libusb_transfer* transfer) {
    auto at = std::find(g_transfers.begin(), g_transfers.end(), transfer);
    if (at == g_transfers.end()) return LIBUSB_ERROR_NOT_FOUND;
    g_transfers.erase(at);
    g_cancelled.push_back(transfer);
    return 0;
}

// The chip of the device a transfer goes to.
sim::Ft232r* ChipOf(libusb_transfer* transfer) {
    for (auto& [ftdi, chip] : g_open)
        if (ftdi->usb_dev == transfer->dev_handle) return &chip;
    return nullptr;
}

// What the ideal chip sends: everything the device has sent, in packets
// with the FT232R's status bytes, the moment it comes.
sim::UsbAnswer IdealPackets(sim::Ft232r& chip, std::size_t capacity, std::string& packets) {
    if (sim::Ft232rUnplugged(chip)) return sim::UsbAnswer::Gone;
    DWORD waiting = 0, got = 0;
    if (Emulator().GetQueueStatus(chip.device, &waiting) != FT_OK || waiting == 0) return sim::UsbAnswer::NotYet;
    std::size_t room = capacity / sim::kFt232rPacketSize * sim::kFt232rPacketData;
    std::string data(std::min<std::size_t>(waiting, room), '\0');
    Emulator().Read(chip.device, data.data(), static_cast<DWORD>(data.size()), &got);
    for (std::size_t at = 0; at < got; at += sim::kFt232rPacketData)
        packets += std::string("\x01\x60", 2) + data.substr(at, sim::kFt232rPacketData);
    return sim::UsbAnswer::Done;
}

// Ends a transfer with this status and what the chip sent.
void Complete(libusb_transfer* transfer, libusb_transfer_status status, const std::string& packets = "") {
    std::copy(packets.begin(), packets.end(), transfer->buffer);
    transfer->actual_length = static_cast<int>(packets.size());
    transfer->status = status;
    transfer->callback(transfer);
}

// Ends the transfers whose chip sends now; whether any ended.
bool EndTransfers() {
    bool ended = false;
    while (!g_cancelled.empty()) {
        libusb_transfer* transfer = g_cancelled.front();
        g_cancelled.erase(g_cancelled.begin());
        Complete(transfer, LIBUSB_TRANSFER_CANCELLED);
        ended = true;
    }
    std::vector<libusb_transfer*> waiting = g_transfers;
    for (libusb_transfer* transfer : waiting) {
        sim::Ft232r* chip = ChipOf(transfer);
        std::string packets;
        auto capacity = static_cast<std::size_t>(transfer->length);
        sim::UsbAnswer answer = sim::UsbAnswer::Gone;
        if (chip && !(g_standin.readsFailFrom && NowMs() >= *g_standin.readsFailFrom))
            answer = g_standin.chipLatency ? sim::Ft232rBulkIn(*chip, capacity, packets)
                                           : IdealPackets(*chip, capacity, packets);
        if (answer == sim::UsbAnswer::NotYet) continue;
        g_transfers.erase(std::find(g_transfers.begin(), g_transfers.end(), transfer));
        Complete(transfer,
                 answer == sim::UsbAnswer::Gone    ? LIBUSB_TRANSFER_NO_DEVICE
                 : answer == sim::UsbAnswer::Stall ? LIBUSB_TRANSFER_STALL
                                                   : LIBUSB_TRANSFER_COMPLETED,
                 packets);
        ended = true;
    }
    return ended;
}

// libusb's wait for events: returns when a transfer has ended, or when the
// time given has passed on the program's clock; on a busy computer
// (waitOvershootMs) only that much later, having handed over what came
// meanwhile.
int StandinHandleEvents(libusb_context*, struct timeval* tv, int*) {
    std::uint64_t until =
        NowMs() + static_cast<std::uint64_t>(tv->tv_sec) * 1000 + static_cast<std::uint64_t>(tv->tv_usec + 999) / 1000;
    for (;;) {
        if (g_standin.onLook) g_standin.onLook();
        bool ended = EndTransfers();
        if ((ended && NowMs() < until) || NowMs() >= until + g_standin.waitOvershootMs) return 0;
        SleepUntilMs(NowMs() + 1);
    }
}

int StandinWriteData(ftdi_context* ftdi, const unsigned char* buf, int size) {
    FT_HANDLE handle = Handle(ftdi);
    if (!handle) return Fail(ftdi, -666, "USB device unavailable");
    if (g_standin.writesFailFrom && NowMs() >= *g_standin.writesFailFrom)
        return Fail(ftdi, -1, "usb bulk write failed");
    DWORD written = 0;
    if (Emulator().Write(handle, const_cast<unsigned char*>(buf), static_cast<DWORD>(size), &written) != FT_OK)
        return Fail(ftdi, -1, "usb bulk write failed");
    return static_cast<int>(written);
}

int Flush(ftdi_context* ftdi, ULONG mask) {
    FT_HANDLE handle = Handle(ftdi);
    if (!handle || Emulator().Purge(handle, mask) != FT_OK) return Fail(ftdi, -1, "FTDI purge failed");
    return 0;
}

int StandinTcioflush(ftdi_context* ftdi) {
    ++g_standin.bothWayFlushes;
    return Flush(ftdi, FT_PURGE_RX | FT_PURGE_TX);
}
int StandinTciflush(ftdi_context* ftdi) { return Flush(ftdi, FT_PURGE_RX); }
int StandinTcoflush(ftdi_context* ftdi) { return Flush(ftdi, FT_PURGE_TX); }
int StandinPurgeBuffers(ftdi_context* ftdi) {
    ++g_standin.oldPurges;
    return Flush(ftdi, FT_PURGE_RX | FT_PURGE_TX);
}

const char* StandinErrorString(ftdi_context* ftdi) { return ftdi->error_str; }

std::uint8_t StandinBusNumber(struct libusb_device*) { return 1; }

int StandinPortNumbers(struct libusb_device* dev, std::uint8_t* ports, int size) {
    const sim::Device* device = DeviceOf(dev);
    auto other = device ? g_standin.ports.find(device->serial) : g_standin.ports.end();
    std::vector<std::uint8_t> path = other != g_standin.ports.end()
                                         ? other->second
                                         : std::vector<std::uint8_t>{static_cast<std::uint8_t>(LocationOf(dev))};
    if (static_cast<int>(path.size()) > size) return -8;  // LIBUSB_ERROR_OVERFLOW
    std::copy(path.begin(), path.end(), ports);
    return static_cast<int>(path.size());
}

}  // namespace

LibftdiStandin& Standin() { return g_standin; }

void ResetLibftdiStandin() {
    g_standin = LibftdiStandin{};
    // Contexts a test left open; the emulator forgets their devices when it starts again.
    for (auto& open : g_open) delete open.first;
    g_open.clear();
    g_transfers.clear();
    g_cancelled.clear();
    for (libusb_transfer* transfer : g_allocated) delete transfer;
    g_allocated.clear();
}

LibftdiApi StandinLibftdi(bool release15) {
    LibftdiApi api{};
    api.ftdi_new = StandinNew;
    api.ftdi_free = StandinFree;
    api.ftdi_usb_find_all = StandinFindAll;
    api.ftdi_list_free = StandinListFree;
    api.ftdi_usb_get_strings = StandinGetStrings;
    api.ftdi_usb_open_dev = StandinOpenDev;
    api.ftdi_usb_close = StandinUsbClose;
    api.ftdi_set_latency_timer = StandinSetLatency;
    api.ftdi_write_data = StandinWriteData;
    api.ftdi_usb_purge_buffers = StandinPurgeBuffers;
    api.ftdi_get_error_string = StandinErrorString;
    api.libusb_get_bus_number = StandinBusNumber;
    api.libusb_get_port_numbers = StandinPortNumbers;
    api.libusb_alloc_transfer = StandinAllocTransfer;
    api.libusb_free_transfer = StandinFreeTransfer;
    api.libusb_submit_transfer = StandinSubmitTransfer;
    api.libusb_cancel_transfer = StandinCancelTransfer;
    api.libusb_handle_events_timeout_completed = StandinHandleEvents;
    if (release15) {
        api.ftdi_tcioflush = StandinTcioflush;
        api.ftdi_tciflush = StandinTciflush;
        api.ftdi_tcoflush = StandinTcoflush;
    }
    return api;
}
