#include "libftdi_standin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"

namespace {

LibftdiStandin g_standin;
// An emulated device's libusb_device stands for its serial number: the
// token is its place in this list, from 1.
std::vector<std::string> g_tokens;
// The open contexts and the emulated device each holds.
std::map<ftdi_context*, FT_HANDLE> g_open;

const D2xxOps& Emulator() { return *sim::EmulatorD2xx(); }

struct libusb_device* Token(const std::string& serial) {
    auto at = std::find(g_tokens.begin(), g_tokens.end(), serial);
    if (at == g_tokens.end()) at = g_tokens.insert(at, serial);
    return reinterpret_cast<struct libusb_device*>(static_cast<std::uintptr_t>(at - g_tokens.begin() + 1));
}

const std::string& SerialOf(struct libusb_device* dev) {
    return g_tokens.at(reinterpret_cast<std::uintptr_t>(dev) - 1);
}

int Fail(ftdi_context* ftdi, int code, const char* text) {
    ftdi->error_str = text;
    return code;
}

// The serial numbers of the emulated devices in the emulator's listing order.
std::vector<std::string> Attached() {
    std::vector<std::string> serials;
    DWORD count = 0;
    Emulator().ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    for (DWORD i = 0; i < count; ++i) {
        char serial[FT_DESCRIPTION_SIZE] = {};
        void* index = reinterpret_cast<void*>(static_cast<std::uintptr_t>(i));
        Emulator().ListDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        serials.push_back(serial);
    }
    return serials;
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
    FT_STATUS status = Emulator().Close(at->second);
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
    for (const std::string& serial : Attached()) {
        auto id = g_standin.ids.find(serial);
        if (!Matches(id == g_standin.ids.end() ? UsbId{0x0403, 0x6001} : id->second, vendor, product)) continue;
        *tail = new ftdi_device_list{nullptr, Token(serial)};
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
    const std::string& sn = SerialOf(dev);
    if (g_standin.unreadable.count(sn)) return Fail(ftdi, -4, "libusb_open() failed");
    if (serial && g_standin.withoutSerial.count(sn)) return Fail(ftdi, -9, "unable to fetch serial number");
    const sim::Device* device = sim::FindDevice(sn);
    if (!device) return Fail(ftdi, -4, "libusb_open() failed");
    auto longer = g_standin.descriptions.find(sn);
    Copy("FTDI", manufacturer, mnf_len);
    Copy(longer != g_standin.descriptions.end() ? longer->second : device->description, description, desc_len);
    Copy(sn, serial, serial_len);
    return 0;
}

// Claims the emulated device, which refuses when it is open already, in
// this process or another on the same bus: libusb's busy interface.
int StandinOpenDev(ftdi_context* ftdi, struct libusb_device* dev) {
    FT_HANDLE handle = nullptr;
    std::string serial = SerialOf(dev);
    if (Emulator().OpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, &handle) != FT_OK)
        return Fail(ftdi, -5, "unable to claim usb device. Make sure the default FTDI driver is not in use");
    // A read takes what has arrived by now: the device's own read waits 1 ms at most.
    Emulator().SetTimeouts(handle, 1, 0);
    g_open[ftdi] = handle;
    ftdi->usb_dev = reinterpret_cast<struct libusb_device_handle*>(dev);
    ftdi->baudrate = 9600;
    g_standin.lastOpened = ftdi;
    return 0;
}

FT_HANDLE Handle(ftdi_context* ftdi) {
    auto at = g_open.find(ftdi);
    return at == g_open.end() ? nullptr : at->second;
}

int StandinSetLatency(ftdi_context* ftdi, unsigned char latency) {
    if (!Handle(ftdi)) return Fail(ftdi, -3, "USB device unavailable");
    g_standin.latencyMs = latency;
    return 0;
}

int StandinReadData(ftdi_context* ftdi, unsigned char* buf, int size) {
    ++g_standin.reads;
    if (g_standin.onRead) g_standin.onRead();
    FT_HANDLE handle = Handle(ftdi);
    if (!handle) return Fail(ftdi, -666, "USB device unavailable");
    if (g_standin.readsFailFrom && NowMs() >= *g_standin.readsFailFrom) return Fail(ftdi, -4, "usb bulk read failed");
    DWORD waiting = 0, got = 0;
    if (Emulator().GetQueueStatus(handle, &waiting) != FT_OK) return Fail(ftdi, -1, "usb bulk read failed");
    waiting = std::min(waiting, static_cast<DWORD>(size));
    if (waiting > 0 && Emulator().Read(handle, buf, waiting, &got) != FT_OK)
        return Fail(ftdi, -1, "usb bulk read failed");
    return static_cast<int>(got);
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

}  // namespace

LibftdiStandin& Standin() { return g_standin; }

void ResetLibftdiStandin() {
    g_standin = LibftdiStandin{};
    g_tokens.clear();
    // Contexts a test left open; the emulator forgets their devices when it starts again.
    for (auto& open : g_open) delete open.first;
    g_open.clear();
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
    api.ftdi_read_data = StandinReadData;
    api.ftdi_write_data = StandinWriteData;
    api.ftdi_usb_purge_buffers = StandinPurgeBuffers;
    api.ftdi_get_error_string = StandinErrorString;
    if (release15) {
        api.ftdi_tcioflush = StandinTcioflush;
        api.ftdi_tciflush = StandinTciflush;
        api.ftdi_tcoflush = StandinTcoflush;
    }
    return api;
}
