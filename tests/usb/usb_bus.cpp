// The usbfs side of the emulated bus: what the kernel's usbfs would answer
// libusb, for each FT232R (sim/ft232r.h) plugged in.
#include "usb_bus.h"

// clang-format off
#include <sys/ioctl.h>  // before linux/usbdevice_fs.h, which needs it
#include <linux/usbdevice_fs.h>
// clang-format on
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "sim/device.h"
#include "sim/ft232r.h"

extern char** environ;
#if defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_init();
#endif

namespace {

constexpr unsigned kBus = 1;
constexpr std::uint8_t kEndpointIn = 0x81, kEndpointOut = 0x02;
constexpr std::size_t kSetupSize = 8;
constexpr char kPreload[] = "libumockdev-preload.so.0";
// Who an unprivileged child runs as when the test runs as root, and how.
constexpr char kUnprivilegedUser[] = "nobody";
constexpr char kSetpriv[] = "/usr/bin/setpriv";
// What the emulated usbfs can do: one URB for a bulk transfer of any size.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

// A URB a driver submitted, kept until it is reaped: its struct and its
// buffer in this process's copies, which umockdev writes back to the
// driver's memory when the URB is handed back.
struct Urb {
    UMockdevIoctlClient* client;  // the open node it was submitted on
    UMockdevIoctlData* urb;
    UMockdevIoctlData* buffer;  // null without one
    int status = 0;
    int actual = 0;
    usbdevfs_urb& Fields() { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
    unsigned char* Bytes() { return buffer ? buffer->data : nullptr; }
};

void Free(Urb* u) {
    if (u->buffer) g_object_unref(u->buffer);
    g_object_unref(u->urb);
    delete u;
}

struct Chip {
    sim::Ft232r ft;
    ChipFaults faults;
    ChipRecord record;
    std::string node;     // /dev/bus/usb/001/00N
    std::string syspath;  // in the testbed's sysfs
    UMockdevIoctlBase* handler = nullptr;
    bool nodeRemoved = false;  // gone from the testbed's sysfs and /dev
    bool kernelDriver = true;  // ftdi_sio holds the interface until a driver detaches it
    UMockdevIoctlClient* claimedBy = nullptr;
    std::deque<Urb*> pending;                   // bulk transfers the chip has not answered yet, in order
    std::deque<Urb*> done;                      // answered, waiting to be reaped
    std::vector<Urb*> reaped;                   // handed back; freed at the next ioctl
    std::vector<UMockdevIoctlClient*> clients;  // the open nodes
};

std::mutex g_lock;
UMockdevTestbed* g_bed = nullptr;
std::vector<std::unique_ptr<Chip>> g_chips;
unsigned g_nextAddress = 2;

void Finish(Chip& chip, Urb* u, int status) {
    u->status = status;
    if (status == -EPIPE) ++chip.record.stalls;
    chip.pending.erase(std::find(chip.pending.begin(), chip.pending.end(), u));
    chip.done.push_back(u);
}

// The chip's device is unplugged: its pending transfers end with ENODEV,
// and so does every later ioctl on its nodes. The test's thread then takes
// the node away (TakeAwayUnplugged).
void Unplugged(Chip& chip) {
    if (chip.record.gone) return;
    chip.record.gone = true;
    while (!chip.pending.empty()) Finish(chip, chip.pending.front(), -ENODEV);
}

// Lets the chip answer the pending bulk transfers it can answer now: the
// first on each endpoint, in order.
void Advance(Chip& chip) {
    bool inTried = false, outTried = false;
    for (std::size_t i = 0; i < chip.pending.size();) {
        Urb* u = chip.pending[i];
        bool in = u->Fields().endpoint & 0x80;
        if (in ? inTried : outTried) {
            ++i;
            continue;
        }
        (in ? inTried : outTried) = true;
        int length = u->Fields().buffer_length;
        sim::UsbAnswer answer;
        if (in) {
            std::string packets;
            answer = sim::Ft232rBulkIn(chip.ft, static_cast<std::size_t>(length), packets);
            if (answer == sim::UsbAnswer::Done) {
                std::memcpy(u->Bytes(), packets.data(), packets.size());
                u->actual = static_cast<int>(packets.size());
            }
        } else {
            answer = sim::Ft232rBulkOut(chip.ft, std::string(reinterpret_cast<char*>(u->Bytes()), length));
            if (answer == sim::UsbAnswer::Done) u->actual = length;
        }
        if (answer == sim::UsbAnswer::NotYet) {
            ++i;
            continue;
        }
        if (answer == sim::UsbAnswer::Gone) return Unplugged(chip);
        Finish(chip, u, answer == sim::UsbAnswer::Done ? 0 : -EPIPE);
    }
}

// The chip's end of a claim: its device closes, the driver's transfers go.
void Release(Chip& chip) {
    if (!chip.claimedBy) return;
    chip.claimedBy = nullptr;
    ++chip.record.releases;
    sim::Ft232rClose(chip.ft);
}

void DropTransfersOf(Chip& chip, UMockdevIoctlClient* client) {
    for (auto* list : {&chip.pending, &chip.done}) {
        std::erase_if(*list, [client](Urb* u) {
            if (u->client != client) return false;
            Free(u);
            return true;
        });
    }
}

// A node opened: the client stands for it until it is closed.
void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    std::lock_guard<std::mutex> lock(g_lock);
    Chip& chip = *static_cast<Chip*>(data);
    chip.clients.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
}

// The nodes a driver has closed (or whose process has ended) since the last
// look: their claim ends, their transfers go. umockdev marks such a client
// no longer connected, without a signal, so the bus looks at every ioctl
// and whenever the test asks.
void ForgetClosedNodes(Chip& chip) {
    std::erase_if(chip.clients, [&chip](UMockdevIoctlClient* client) {
        if (umockdev_ioctl_client_get_connected(client)) return false;
        if (chip.claimedBy == client) Release(chip);
        DropTransfersOf(chip, client);
        g_object_unref(client);
        return true;
    });
}

// The ioctl's argument, resolved to `size` bytes of the driver's memory.
template <typename T>
T* Argument(UMockdevIoctlClient* client, UMockdevIoctlData*& owned) {
    owned = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T), nullptr);
    return owned ? reinterpret_cast<T*>(owned->data) : nullptr;
}

// Answers a control transfer at once, as the chip does.
int Control(Chip& chip, Urb* u) {
    if (u->Fields().buffer_length < static_cast<int>(kSetupSize)) return -EINVAL;
    const unsigned char* s = u->Bytes();
    sim::UsbSetup setup{s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                        static_cast<std::uint16_t>(s[4] | s[5] << 8), static_cast<std::uint16_t>(s[6] | s[7] << 8)};
    int room = u->Fields().buffer_length - static_cast<int>(kSetupSize);
    if (setup.length > room) return -EINVAL;
    std::string data;
    bool toHost = setup.requestType & 0x80;
    if (!toHost) data.assign(reinterpret_cast<const char*>(s + kSetupSize), setup.length);
    sim::UsbAnswer answer = sim::Ft232rControl(chip.ft, setup, data);
    if (answer == sim::UsbAnswer::Gone) return -ENODEV;
    if (answer != sim::UsbAnswer::Done) return -EPIPE;
    if (toHost) {
        std::memcpy(u->Bytes() + kSetupSize, data.data(), data.size());
        u->actual = static_cast<int>(data.size());
    } else {
        u->actual = setup.length;
    }
    return 0;
}

// USBDEVFS_SUBMITURB: control transfers are answered at once, bulk ones
// when the chip can.
int Submit(Chip& chip, UMockdevIoctlClient* client) {
    UMockdevIoctlData* urbData = nullptr;
    auto* fields = Argument<usbdevfs_urb>(client, urbData);
    if (!fields) return EFAULT;
    auto* u = new Urb{client, urbData, nullptr};
    if (fields->buffer_length > 0) {
        u->buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                static_cast<gsize>(fields->buffer_length), nullptr);
        if (!u->buffer) {
            Free(u);
            return EFAULT;
        }
    }
    bool control = fields->type == USBDEVFS_URB_TYPE_CONTROL && fields->endpoint == 0;
    bool bulk =
        fields->type == USBDEVFS_URB_TYPE_BULK && (fields->endpoint == kEndpointIn || fields->endpoint == kEndpointOut);
    if (!control && !bulk) {
        Free(u);
        return EINVAL;
    }
    if (bulk && chip.claimedBy != client) {
        Free(u);
        return EINVAL;  // the interface of these endpoints is not this node's
    }
    if (control) {
        u->status = Control(chip, u);
        if (u->status == -ENODEV) {
            Free(u);
            Unplugged(chip);
            return ENODEV;
        }
        if (u->status == -EPIPE) ++chip.record.stalls;
        chip.done.push_back(u);
        return 0;
    }
    chip.pending.push_back(u);
    Advance(chip);
    return 0;
}

// USBDEVFS_REAPURBNDELAY: the next answered URB of this node, its address
// written into the driver's pointer.
int Reap(Chip& chip, UMockdevIoctlClient* client) {
    Advance(chip);
    auto at = std::find_if(chip.done.begin(), chip.done.end(), [client](Urb* u) { return u->client == client; });
    if (at == chip.done.end()) return chip.record.gone ? ENODEV : EAGAIN;
    Urb* u = *at;
    UMockdevIoctlData* slot =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
    if (!slot) return EFAULT;
    chip.done.erase(at);
    u->Fields().status = u->status;
    u->Fields().actual_length = u->actual;
    umockdev_ioctl_data_set_ptr(slot, 0, u->urb);
    g_object_unref(slot);
    chip.reaped.push_back(u);
    return 0;
}

// USBDEVFS_DISCARDURB: a pending URB ends as cancelled; one already
// answered cannot be.
int Discard(Chip& chip, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    auto at = std::find_if(chip.pending.begin(), chip.pending.end(),
                           [&](Urb* u) { return u->client == client && u->urb->client_addr == address; });
    if (at == chip.pending.end()) return EINVAL;
    Finish(chip, *at, -ENOENT);
    return 0;
}

int Claim(Chip& chip, UMockdevIoctlClient* client, unsigned interface) {
    if (interface != 0) return ENOENT;
    if (chip.faults.busy) {
        ++chip.record.refusedClaims;
        return EBUSY;
    }
    if (chip.kernelDriver) return EBUSY;
    if (chip.claimedBy == client) return 0;
    if (chip.claimedBy || !sim::Ft232rOpen(chip.ft)) return EBUSY;
    chip.claimedBy = client;
    ++chip.record.claims;
    return 0;
}

// USBDEVFS_GETDRIVER and the driver requests of USBDEVFS_IOCTL.
int Driver(Chip& chip, unsigned long request, UMockdevIoctlClient* client) {
    UMockdevIoctlData* owned = nullptr;
    int result = 0;
    if (request == USBDEVFS_GETDRIVER) {
        auto* query = Argument<usbdevfs_getdriver>(client, owned);
        const char* driver = chip.faults.busy ? "usbfs" : chip.kernelDriver ? "ftdi_sio" : nullptr;
        if (!query)
            result = EFAULT;
        else if (query->interface != 0 || !driver)
            result = ENODATA;
        else
            std::snprintf(query->driver, sizeof query->driver, "%s", driver);
    } else {
        auto* command = Argument<usbdevfs_ioctl>(client, owned);
        if (!command)
            result = EFAULT;
        else if (command->ifno != 0)
            result = EINVAL;
        else if (command->ioctl_code == USBDEVFS_DISCONNECT)
            result = chip.kernelDriver ? (chip.kernelDriver = false, 0) : ENODATA;
        else if (command->ioctl_code == USBDEVFS_CONNECT)
            result = chip.claimedBy ? EBUSY : (chip.kernelDriver = true, 0);
        else
            result = ENOTTY;
    }
    if (owned) g_object_unref(owned);
    return result;
}

// One ioctl on a chip's node; returns the errno to fail it with, or 0.
int Handle(Chip& chip, UMockdevIoctlClient* client) {
    unsigned long request = umockdev_ioctl_client_get_request(client);
    for (Urb* u : chip.reaped) Free(u);
    chip.reaped.clear();
    ForgetClosedNodes(chip);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return Reap(chip, client);
    if (chip.record.gone) return ENODEV;
    UMockdevIoctlData* owned = nullptr;
    int result = 0;
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return Submit(chip, client);
        case USBDEVFS_DISCARDURB:
            return Discard(chip, client);
        case USBDEVFS_GET_CAPABILITIES:
            if (auto* caps = Argument<std::uint32_t>(client, owned))
                *caps = kCapabilities;
            else
                result = EFAULT;
            break;
        case USBDEVFS_CLAIMINTERFACE:
            if (auto* interface = Argument<unsigned>(client, owned))
                result = Claim(chip, client, *interface);
            else
                result = EFAULT;
            break;
        case USBDEVFS_RELEASEINTERFACE:
            if (auto* interface = Argument<unsigned>(client, owned); !interface)
                result = EFAULT;
            else if (*interface != 0 || chip.claimedBy != client)
                result = EINVAL;
            else
                Release(chip);
            break;
        case USBDEVFS_SETCONFIGURATION:
            if (auto* value = Argument<int>(client, owned); !value)
                result = EFAULT;
            else if (*value != 1)
                result = EINVAL;
            break;
        case USBDEVFS_CLEAR_HALT:
            if (auto* endpoint = Argument<unsigned>(client, owned); !endpoint)
                result = EFAULT;
            else if (*endpoint == kEndpointOut)
                sim::Ft232rClearHalt(chip.ft);
            break;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            return Driver(chip, request, client);
        case USBDEVFS_RESET:
            break;
        default:
            result = ENOTTY;
    }
    if (owned) g_object_unref(owned);
    return result;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    std::lock_guard<std::mutex> lock(g_lock);
    int error = Handle(*static_cast<Chip*>(data), client);
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        out += pair;
    }
    return out;
}

// The device as udev and sysfs describe it, in umockdev's text form.
std::string Description(const Chip& chip, unsigned address, const std::string& port) {
    char devnum[8];
    std::snprintf(devnum, sizeof devnum, "%03u", address);
    std::string text;
    text += "P: /devices/pci0000:00/0000:00:14.0/usb1/" + port + "\n";
    text += "N: bus/usb/001/" + std::string(devnum) + "\n";
    text += "E: DEVNAME=/dev/bus/usb/001/" + std::string(devnum) + "\n";
    text += "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n";
    text += "E: PRODUCT=403/6001/600\nE: TYPE=0/0/0\n";
    text += "E: BUSNUM=001\nE: DEVNUM=" + std::string(devnum) + "\n";
    text += "E: MAJOR=189\nE: MINOR=" + std::to_string((kBus - 1) * 128 + address - 1) + "\n";
    text += "A: busnum=" + std::to_string(kBus) + "\nA: devnum=" + std::to_string(address) + "\n";
    text += "A: idVendor=0403\nA: idProduct=6001\nA: bcdDevice=0600\n";
    text += "A: bDeviceClass=00\nA: bNumConfigurations=1\nA: bConfigurationValue=1\nA: speed=12\n";
    text += "A: manufacturer=" + std::string(sim::kFt232rManufacturer) + "\n";
    text += "A: product=" + chip.ft.description + "\n";
    if (!chip.ft.serial.empty()) text += "A: serial=" + chip.ft.serial + "\n";
    text += "H: descriptors=" + Hex(sim::Ft232rDeviceDescriptor(chip.ft) + sim::Ft232rConfigurationDescriptor()) + "\n";
    return text;
}

Chip* ChipOf(const std::string& serial) {
    for (auto& chip : g_chips)
        if (chip->ft.serial == serial) return chip.get();
    return nullptr;
}

// Takes the chips whose device was unplugged off the testbed: the device
// disappears from sysfs and /dev. On the test's thread, which owns the
// testbed (the handlers run on its worker). No uevent says so: umockdev
// sends one only from a process under its preload, and libusb learns of
// the removal from the node's ENODEV as it does from the kernel.
void TakeAwayUnplugged() {
    std::vector<std::pair<std::string, std::string>> gone;  // syspath, node
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& chip : g_chips)
            if (chip->record.gone && !chip->nodeRemoved) {
                chip->nodeRemoved = true;
                gone.emplace_back(chip->syspath, chip->node);
            }
    }
    for (const auto& [syspath, node] : gone) {
        umockdev_testbed_remove_device(g_bed, syspath.c_str());
        // umockdev finds a node by the device's `dev` attribute, which these
        // devices do not have.
        std::error_code ignored;
        std::filesystem::remove(UsbBusRoot() + node, ignored);
    }
}

// The AddressSanitizer runtime this process was built with, empty without
// one. The programs of the same build carry it too, and it must come before
// every other library a child preloads.
std::string SanitizerRuntime() {
#if defined(__SANITIZE_ADDRESS__)
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&__asan_init), &info) && info.dli_fname) return info.dli_fname;
#endif
    return "";
}

bool PreloadInstalled() {
    for (const char* folder : {"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib", "/lib/x86_64-linux-gnu"})
        if (std::filesystem::exists(std::filesystem::path(folder) / kPreload)) return true;
    return false;
}

}  // namespace

bool StartUsbBus(std::string& reason) {
    if (!PreloadInstalled()) {
        reason = std::string(kPreload) + " is not installed (Debian: libumockdev0)";
        return false;
    }
    g_bed = umockdev_testbed_new();
    if (!g_bed) {
        reason = "umockdev cannot set up a testbed";
        return false;
    }
    g_chips.clear();
    g_nextAddress = 2;
    // A child run as another user finds the devices there too, and its
    // preload makes its files there (the socket that stands in for udev's).
    std::error_code failed;
    std::filesystem::permissions(UsbBusRoot(), std::filesystem::perms(01777), failed);
    if (failed) {
        reason = "cannot open the testbed to other users: " + failed.message();
        StopUsbBus();
        return false;
    }
    return true;
}

void StopUsbBus() {
    // The testbed first: its worker thread calls the chips' handlers.
    if (g_bed) g_object_unref(g_bed);
    g_bed = nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    for (auto& chip : g_chips) {
        for (auto* list : {&chip->pending, &chip->done})
            for (Urb* u : *list) Free(u);
        for (Urb* u : chip->reaped) Free(u);
        sim::Ft232rClose(chip->ft);
        for (auto* client : chip->clients) g_object_unref(client);
        if (chip->handler) g_object_unref(chip->handler);
    }
    g_chips.clear();
}

bool PlugFt232r(const std::string& serial, const ChipFaults& faults, std::string& reason) {
    auto chip = std::make_unique<Chip>();
    bool noAccess = false;  // this user may not open it (the scenario's no_access)
    {
        std::lock_guard<std::mutex> lock(g_lock);
        const sim::Device* device = sim::FindDevice(serial);
        if (!device || !sim::Ft232rFor(device->location, chip->ft)) {
            reason = "no emulated device has the serial number " + serial;
            return false;
        }
        noAccess = device->noAccess;
    }
    chip->faults = faults;
    unsigned address = g_nextAddress++;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", kBus, address);
    chip->node = node;
    // The handler first: the preload sends a node's ioctls to the handler
    // attached when the node appears.
    chip->handler = umockdev_ioctl_base_new();
    g_signal_connect(chip->handler, "handle-ioctl", G_CALLBACK(OnIoctl), chip.get());
    g_signal_connect(chip->handler, "client-connected", G_CALLBACK(OnClientConnected), chip.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(g_bed, node, chip->handler, &error) ||
        !umockdev_testbed_add_from_string(
            g_bed, Description(*chip, address, "1-" + std::to_string(address - 1)).c_str(), &error)) {
        reason = std::string("umockdev: ") + (error ? error->message : "the device cannot be added");
        if (error) g_error_free(error);
        return false;
    }
    chip->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(address - 1);
    // Who may open the node: anyone, as the udev rule lets the user at the
    // seat open a QVM7316; for a device this user may not open, only root,
    // or no one when the test itself is not root (a child runs as another
    // user then, RunOnBus).
    namespace fs = std::filesystem;
    fs::perms access = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write |
                       fs::perms::others_read | fs::perms::others_write;
    if (noAccess) access = geteuid() == 0 ? fs::perms::owner_read | fs::perms::owner_write : fs::perms::none;
    std::error_code failed;
    fs::permissions(UsbBusRoot() + node, access, failed);
    // The socket that carries the node's ioctls to this process is the
    // test's own plumbing: anyone may connect.
    if (!failed) fs::permissions(UsbBusRoot() + "/ioctl" + node, fs::perms(0777), failed);
    if (failed) {
        reason = "cannot set the access rights of " + chip->node + ": " + failed.message();
        return false;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    g_chips.push_back(std::move(chip));
    return true;
}

std::vector<std::string> UsbChildEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
    std::string runtime = SanitizerRuntime();
    env.push_back("LD_PRELOAD=" + (runtime.empty() ? "" : runtime + " ") + kPreload);
    return env;
}

std::string UsbBusRoot() {
    gchar* root = umockdev_testbed_get_root_dir(g_bed);
    std::string path = root;
    g_free(root);
    return path;
}

std::string UsbDeviceNode(const std::string& serial) {
    std::lock_guard<std::mutex> lock(g_lock);
    Chip* chip = ChipOf(serial);
    return chip ? UsbBusRoot() + chip->node : "";
}

bool CanRunUnprivileged(std::string& reason) {
    if (geteuid() != 0) return true;
    if (!getpwnam(kUnprivilegedUser)) {
        reason = std::string("there is no user ") + kUnprivilegedUser + " to run as";
        return false;
    }
    if (access(kSetpriv, X_OK) != 0) {
        reason = std::string(kSetpriv) + " is not installed (Debian: util-linux)";
        return false;
    }
    return true;
}

std::unique_lock<std::mutex> LockUsbBus() { return std::unique_lock<std::mutex>(g_lock); }

ChipRecord ChipHistory(const std::string& serial) {
    Chip* chip = ChipOf(serial);
    if (!chip) return {};
    ForgetClosedNodes(*chip);
    ChipRecord record = chip->record;
    record.openNodes = static_cast<int>(chip->clients.size());
    return record;
}

ChildRun RunOnBus(const std::string& program, const std::vector<std::string>& args, const std::string& outputFile,
                  std::chrono::seconds limit, bool unprivileged) {
    std::vector<std::string> command = {program};
    if (unprivileged && geteuid() == 0) {
        const struct passwd* nobody = getpwnam(kUnprivilegedUser);
        if (!nobody) {
            ChildRun run;
            run.output = std::string("no user ") + kUnprivilegedUser + " to run as";
            return run;
        }
        command.insert(command.begin(), {kSetpriv, "--reuid=" + std::to_string(nobody->pw_uid),
                                         "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"});
    }
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = UsbChildEnvironment();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = 0;
    auto start = std::chrono::steady_clock::now();
    int spawned = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    ChildRun run;
    if (spawned != 0) {
        run.output = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() - start > limit) {
            run.hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        TakeAwayUnplugged();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    TakeAwayUnplugged();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!run.hung && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    std::ifstream in(outputFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    run.output = text.str();
    return run;
}
