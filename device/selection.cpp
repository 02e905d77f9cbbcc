#include "device/selection.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/text.h"
#include "protocol/model.h"
#include "protocol/status.h"

namespace {

DeviceChoice g_choice;                    // ChooseDevice
std::optional<DeviceChoice> g_runDevice;  // from the run's first connection
bool g_noSingleDevice = false;            // the first connection could not choose one

void* IndexArgument(DWORD index) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)); }

// The description or serial number of a listed device. A device the
// driver cannot open to read its names is marked unreadable, and left out
// of the search rather than failing the listing: an adapter this user may
// not use must not stop the update of the device they may. Returns 0, or
// USB_LIST_FAILURE after its line when the driver itself failed.
int ListName(ListedDevice& device, DWORD naming, std::string& text) {
    char buffer[FT_DESCRIPTION_SIZE] = {};
    FT_STATUS status = FT_ListDevices(IndexArgument(device.index), buffer, FT_LIST_BY_INDEX | naming);
    buffer[sizeof buffer - 1] = '\0';  // a driver that fills all 64 bytes
    if (status == FT_OK) {
        text = buffer;
    } else if (status == FT_DEVICE_NOT_OPENED) {
        device = ListedDevice{device.index, "", "", std::nullopt, false, false};
    } else {
        Log("second List Device Failed\n");
        return USB_LIST_FAILURE;
    }
    return 0;
}

// The location of a listed device, asked for once.
int ListLocation(ListedDevice& device) {
    if (device.location) return 0;
    DWORD location = 0;
    if (FT_ListDevices(IndexArgument(device.index), &location, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION) != FT_OK) {
        Log("second List Device Failed\n");
        return USB_LIST_FAILURE;
    }
    device.location = location;
    return 0;
}

bool Matches(const ListedDevice& device, const DeviceChoice& choice) {
    return device.isQvm7316 && (!choice.serial || device.serial == *choice.serial) &&
           (!choice.description || device.description == *choice.description);
}

// How many readable devices have this serial number, or this description.
std::size_t WithSerial(const std::vector<ListedDevice>& devices, const std::string& serial) {
    return static_cast<std::size_t>(std::count_if(
        devices.begin(), devices.end(), [&](const ListedDevice& d) { return d.readable && d.serial == serial; }));
}
std::size_t WithDescription(const std::vector<ListedDevice>& devices, const std::string& description) {
    return static_cast<std::size_t>(std::count_if(devices.begin(), devices.end(), [&](const ListedDevice& d) {
        return d.readable && d.description == description;
    }));
}

// "A1", or what stands for a device without a serial number.
std::string Named(const DeviceChoice& device) {
    return device.serial && !device.serial->empty() ? *device.serial : "without a serial number";
}

std::string Described(const DeviceChoice& device) {
    std::string text =
        device.serial && !device.serial->empty() ? "serial number " + *device.serial : std::string("no serial number");
    text += ", description " + QuoteForMessage(device.description.value_or(""), FT_DESCRIPTION_SIZE);
    if (device.location) {
        char location[24];
        std::snprintf(location, sizeof location, ", location 0x%08X", static_cast<unsigned>(*device.location));
        text += location;
    }
    return text;
}

// Why the devices found cannot be told apart: the first connection without
// a choice meets several QVM7316s; otherwise several devices match the
// choice, or the run's device, in all that is known of it.
void LogCannotTellApart(const DeviceChoice& wanted, std::size_t found) {
    if (!wanted.serial)
        Log("%u %s devices found - connect only one, or choose one with --serial\n", static_cast<unsigned>(found),
            kModelString);
    else if (!wanted.serial->empty())
        Log("%u devices have serial number %s - cannot tell them apart\n", static_cast<unsigned>(found),
            wanted.serial->c_str());
    else
        Log("%s has no serial number and another device has its description\n", kModelString);
}

void LogNotFound(const std::vector<ListedDevice>& devices, const DeviceChoice& wanted, bool first) {
    if (std::string line = UnreadableDevicesLine(devices); !line.empty()) Log("%s\n", line.c_str());
    if (!first)
        Log("%s %s is no longer connected - exiting\n", kModelString, Named(wanted).c_str());
    else if (wanted.serial)
        Log("%s %s not found - exiting\n", kModelString, Named(wanted).c_str());
    else
        Log("no %s found - exiting\n", kModelString);
}

// The most devices a listing of all at once takes: more FTDI devices than
// a USB host controller can hold.
constexpr DWORD kListAllCapacity = 128;

// Every device's text of one naming at once; false when the driver fails.
bool ListAllTexts(const D2xxOps& driver, DWORD naming, std::vector<std::string>& texts) {
    std::vector<std::array<char, FT_DESCRIPTION_SIZE>> buffers(kListAllCapacity);
    std::vector<char*> pointers(kListAllCapacity + 1, nullptr);  // ended by a null pointer
    for (DWORD i = 0; i < kListAllCapacity; ++i) pointers[i] = buffers[i].data();
    DWORD count = 0;
    if (driver.ListDevices(pointers.data(), &count, FT_LIST_ALL | naming) != FT_OK || count > kListAllCapacity)
        return false;
    texts.clear();
    for (DWORD i = 0; i < count; ++i) {
        buffers[i].back() = '\0';
        texts.emplace_back(buffers[i].data());
    }
    return true;
}

}  // namespace

int ListAttachedDevices(std::vector<ListedDevice>& devices, bool allSerials) {
    devices.clear();
    DWORD count = 0;
    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) {
        Log("first List Device Failed\n");
        return USB_LIST_FAILURE;
    }
    Log("%d FTDI device(s) found\n", static_cast<int>(count));
    SleepMs(200);

    for (DWORD index = 0; index < count; ++index) {
        ListedDevice d;
        d.index = index;
        if (int status = ListName(d, FT_OPEN_BY_DESCRIPTION, d.description); status != 0) return status;
        d.isQvm7316 = d.readable && d.description.find(kModelString) != std::string::npos;
        if (d.isQvm7316 || (d.readable && allSerials))
            if (int status = ListName(d, FT_OPEN_BY_SERIAL_NUMBER, d.serial); status != 0) return status;
        devices.push_back(d);
    }
    return 0;
}

bool ListDevicesQuietly(const D2xxOps& driver, std::vector<ListedDevice>& devices) {
    devices.clear();
    // A device plugged in or out between the calls changes the count: the
    // listing is taken again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<std::string> descriptions, serials;
        if (!ListAllTexts(driver, FT_OPEN_BY_DESCRIPTION, descriptions) ||
            !ListAllTexts(driver, FT_OPEN_BY_SERIAL_NUMBER, serials))
            return false;
        std::vector<DWORD> locations(kListAllCapacity, 0);
        DWORD located = 0;
        bool haveLocations = driver.ListDevices(locations.data(), &located, FT_LIST_ALL | FT_OPEN_BY_LOCATION) == FT_OK;
        if (serials.size() != descriptions.size() || (haveLocations && located != descriptions.size())) continue;
        for (DWORD i = 0; i < descriptions.size(); ++i) {
            ListedDevice d;
            d.index = i;
            d.description = descriptions[i];
            d.serial = serials[i];
            if (haveLocations) d.location = locations[i];
            d.isQvm7316 = d.description.find(kModelString) != std::string::npos;
            devices.push_back(d);
        }
        return true;
    }
    return false;
}

std::string UnreadableDevicesLine(const std::vector<ListedDevice>& devices) {
    auto unreadable = std::count_if(devices.begin(), devices.end(), [](const ListedDevice& d) { return !d.readable; });
    if (unreadable == 0) return "";
    std::string line =
        std::to_string(unreadable) + " FTDI device(s) could not be read (no access, or open in another program)";
#if defined(_WIN32)
    return line;
#else
    // The rule grants access to QVM7316 devices only; other adapters stay
    // unreadable, and that is harmless.
    return line + " - a " + kModelString +
           " needs the udev rule 60-qvm7316.rules, and from an ssh login the plugdev group (see the README)";
#endif
}

void ChooseDevice(const DeviceChoice& choice) { g_choice = choice; }

void ChooseDevice(const std::string& serial) {
    g_choice = DeviceChoice{};
    if (!serial.empty()) g_choice.serial = serial;
}

DeviceChoice ChoiceOf(const ListedDevice& device, const std::vector<ListedDevice>& devices) {
    DeviceChoice choice{device.serial, device.description, std::nullopt};
    auto alike = std::count_if(devices.begin(), devices.end(), [&](const ListedDevice& d) {
        return d.serial == device.serial && d.description == device.description;
    });
    if (alike > 1) choice.location = device.location;
    return choice;
}

const DeviceChoice* RunDevice() { return g_runDevice ? &*g_runDevice : nullptr; }
void ForgetRunDevice() {
    g_runDevice.reset();
    g_noSingleDevice = false;
}
bool NoSingleDeviceChosen() { return g_noSingleDevice; }

int FindRunDevice(DeviceOpening& opening) {
    std::vector<ListedDevice> devices;
    if (int status = ListAttachedDevices(devices, false); status != 0) return status;
    bool first = !g_runDevice;
    const DeviceChoice& wanted = first ? g_choice : *g_runDevice;

    std::vector<ListedDevice*> found;
    for (ListedDevice& d : devices)
        if (Matches(d, wanted)) found.push_back(&d);
    if (wanted.location) {
        for (ListedDevice* d : found)
            if (int status = ListLocation(*d); status != 0) return status;
        std::erase_if(found, [&](const ListedDevice* d) { return d->location != wanted.location; });
    }
    if (first && found.size() != 1) g_noSingleDevice = true;
    if (found.empty()) {
        LogNotFound(devices, wanted, first);
        return DEVICE_NOT_FOUND;
    }
    // An update split across two devices would leave both unusable.
    if (found.size() > 1) {
        LogCannotTellApart(wanted, found.size());
        return DEVICE_OPEN_FAILURE;
    }

    // Whether another device has its serial number: the serial numbers of
    // the devices that are no QVM7316 are asked for now.
    ListedDevice& device = *found.front();
    if (!device.serial.empty()) {
        for (ListedDevice& other : devices)
            if (!other.isQvm7316 && other.readable)
                if (int status = ListName(other, FT_OPEN_BY_SERIAL_NUMBER, other.serial); status != 0) return status;
    }
    opening = DeviceOpening{};
    if (!device.serial.empty() && WithSerial(devices, device.serial) == 1) {
        opening.naming = FT_OPEN_BY_SERIAL_NUMBER;
        opening.name = device.serial;
    } else if (!device.serial.empty() && WithDescription(devices, device.description) == 1) {
        opening.naming = FT_OPEN_BY_DESCRIPTION;
        opening.name = device.description;
    } else {
        // An open by an empty serial number, or one another device shares,
        // takes whichever device the driver lists first.
        if (int status = ListLocation(device); status != 0) return status;
        opening.naming = FT_OPEN_BY_LOCATION;
        opening.location = *device.location;
    }

    if (first) {
        g_runDevice = DeviceChoice{device.serial, device.description, device.location};
        RunLogRecord("=== device: " + Described(*g_runDevice));
    } else if (!g_runDevice->location) {
        // Known from now on: a device plugged in elsewhere is another one.
        g_runDevice->location = device.location;
    }
    return 0;
}

void ResetDeviceSelection() {
    g_choice = DeviceChoice{};
    ForgetRunDevice();
}
