// An emulated USB bus for the real libusb-1.0 and libftdi1: a umockdev
// testbed holding FT232R chips (sim/ft232r.h), each in front of an
// emulated QVM7316, whose usbfs ioctls this process answers. A child
// process started with UsbChildEnvironment() (the umockdev preload) finds
// the chips as libusb finds real ones, through udev, sysfs and
// /dev/bus/usb.
//
// The ioctl handlers run on the testbed's worker thread, on the real clock;
// everything they touch (the chips, the emulated devices) is guarded by
// one lock, which the test takes (LockUsbBus) to look at the devices.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// How a chip misbehaves at the USB level; its device's own faults come
// from the scenario: `unplug_after` takes the chip off the bus with its
// device, and a device of `no_access` has a node the child may not open.
struct ChipFaults {
    // Another process holds the device: the kernel says its interface is
    // claimed by usbfs, and a claim is refused as busy.
    bool busy = false;
};

// What a driver did with a chip, for the checks.
struct ChipRecord {
    int claims = 0;         // of its interface
    int releases = 0;       // of the interface, or the claim ended by closing the node
    int openNodes = 0;      // device nodes open now
    int refusedClaims = 0;  // busy
    int stalls = 0;         // transfers answered with a stall
    bool gone = false;      // unplugged: its transfers failed with ENODEV
};

// Starts the bus, empty. False with the reason when umockdev cannot run
// here (no testbed, no preload library).
bool StartUsbBus(std::string& reason);
void StopUsbBus();

// Plugs in an FT232R in front of the emulated device with this serial
// number (sim::StartEmulator has set the devices up), at the next address
// on bus 1. Its node is open to every user, as the udev rule makes a
// QVM7316's, unless the device is one this user may not open (no_access):
// then to root alone, or to no one when the test does not run as root.
// False with the reason when that fails.
bool PlugFt232r(const std::string& serial, const ChipFaults& faults, std::string& reason);

// The device node of the chip of this serial number, in the testbed (the
// file the child's /dev/bus/usb/... is); empty when there is no such chip.
std::string UsbDeviceNode(const std::string& serial);

// The environment for a child that uses the bus: the preload, on top of
// this process's environment ("NAME=value" strings). In a build with
// AddressSanitizer its runtime is preloaded first, as it must come before
// any other preloaded library in the child of the same build.
std::vector<std::string> UsbChildEnvironment();

// The testbed's root folder, open to every user (as /tmp is).
std::string UsbBusRoot();

// Holds the handlers off while the test looks at the devices.
std::unique_lock<std::mutex> LockUsbBus();

// What a driver did with the chip of this serial number (call with the
// bus locked).
ChipRecord ChipHistory(const std::string& serial);

// How a child process on the bus ended.
struct ChildRun {
    int exitCode = -1;   // -1: it did not end by itself
    bool hung = false;   // killed after the time limit
    std::string output;  // standard output and error
    double seconds = 0;
};

// Runs `program` with `args` as a child that uses the bus, standard input
// closed, standard output and error into `outputFile`, as this process's
// user or, `unprivileged`, as a user without root's rights: the user
// "nobody" (with setpriv) when this process is root. While it runs, the
// chips whose device was unplugged are taken off the bus. Kills it after
// `limit`.
ChildRun RunOnBus(const std::string& program, const std::vector<std::string>& args, const std::string& outputFile,
                  std::chrono::seconds limit, bool unprivileged = false);

// Whether RunOnBus can run a child unprivileged; the reason when not.
bool CanRunUnprivileged(std::string& reason);
