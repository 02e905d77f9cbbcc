// Which device a run talks to. An update must reach one device from its
// first connection to its last, so the first connection takes the device
// chosen (--serial, the dialog's list) or the only QVM7316 attached, and
// every later one finds that device again among whatever is attached by
// then. A device is found by what tells it apart from every other attached
// FTDI device: its serial number when no other has the same, else its
// description, else the USB port it is plugged into (its location). Cheap
// adapters and clones often have no serial number, or share one, and an
// open by a name two devices share takes whichever the driver lists first.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/d2xx.h"

// An attached FTDI device, as the driver lists it. A QVM7316 is a device
// whose description holds the model string (a channel of a dual chip is
// "QVM7316 A", say).
struct ListedDevice {
    DWORD index = 0;
    std::string description;
    std::string serial;  // empty: the device has none, or it was not asked for
    // Where it is plugged in; listed only when needed to tell it apart.
    std::optional<DWORD> location;
    // False when the driver could not open the device to read its names
    // (no access rights, or held by another program): it counts as no
    // QVM7316, and its names are empty.
    bool readable = true;
    bool isQvm7316 = false;
};

// Lists the attached FTDI devices: logs "%d FTDI device(s) found" after the
// count, pauses 200 ms, then takes each device's description, and the
// serial number of each QVM7316 (of every device with allSerials). Returns
// 0, or USB_LIST_FAILURE after "first List Device Failed" (the count) or
// "second List Device Failed" (an index): the driver itself failed.
int ListAttachedDevices(std::vector<ListedDevice>& devices, bool allSerials);

// Lists the attached FTDI devices for a program to show before a run: every
// description, serial number and location at once (FT_LIST_ALL), through
// `driver` itself, so that nothing is logged, traced or counted as a call
// of the run. False when the driver cannot list them.
bool ListDevicesQuietly(const D2xxOps& driver, std::vector<ListedDevice>& devices);

// The line that explains devices whose names could not be read (and what a
// QVM7316 among them needs); empty when every device was read.
std::string UnreadableDevicesLine(const std::vector<ListedDevice>& devices);

// What picks a QVM7316 out of the attached devices: every field that is
// set must match. Nothing set: the one QVM7316 attached.
struct DeviceChoice {
    std::optional<std::string> serial;  // "" for a device that has none
    std::optional<std::string> description;
    std::optional<DWORD> location;
};

// The device the next run updates; ChooseDevice(serial) is --serial SN
// ("": no choice).
void ChooseDevice(const DeviceChoice& choice);
void ChooseDevice(const std::string& serial);

// The choice of one device of a listing: its serial number and description,
// and its location when another listed device has both the same.
DeviceChoice ChoiceOf(const ListedDevice& device, const std::vector<ListedDevice>& devices);

// The run's device, as its first connection found it (its serial number,
// description, and location once one was needed); null before that.
// ForgetRunDevice starts a new run.
const DeviceChoice* RunDevice();
void ForgetRunDevice();

// Whether the run's first connection could not choose its device: none
// attached, not the one chosen, or several that cannot be told apart.
// Cleared by ForgetRunDevice.
bool NoSingleDeviceChosen();

// How a connection opens the run's device: the FT_OPEN_BY_* flag, and the
// name (a serial number or a description) or the location it names.
struct DeviceOpening {
    DWORD naming = 0;
    std::string name;
    DWORD location = 0;
};

// Lists the attached devices and finds the run's device among them, for a
// connection. The first connection takes the chosen device, or the one
// QVM7316 attached, and keeps what identifies it (the run log file names
// it); a later one finds that device again. The device is opened by its
// serial number when no other attached device has the same, else (having
// one) by its description when no other has the same, else by its location.
// Returns 0 with `opening` set; USB_LIST_FAILURE; DEVICE_NOT_FOUND (none
// attached, or not the chosen or the run's device); or DEVICE_OPEN_FAILURE
// when it cannot be told which device is meant. Each after its line.
int FindRunDevice(DeviceOpening& opening);

// Back to the state at program start: no choice, no run device.
void ResetDeviceSelection();
