// The USB side of the emulated device and its byte dispatch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "protocol/commands.h"
#include "sim/device.h"

namespace sim {
namespace {

// What the scenario makes happen at a call of a given number.
enum CallEvent : unsigned { kFails = 1, kUnplugs = 2, kTerminates = 4, kInterrupts = 8 };

// The attached devices, each with its own state; a device's handle is its
// address. The listing shows them in `order`, which the scenario may
// reverse between connections; a device unplugged leaves it.
struct Bus {
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::size_t> order;
    std::array<std::uint32_t, kD2xxCallCount> callCounts{};  // over all devices
    // Per call: call number -> CallEvent bits, from the scenario.
    std::array<std::map<std::uint32_t, unsigned>, kD2xxCallCount> events;
    std::uint32_t closes = 0;
    Device* updated = nullptr;  // the device opened last
    std::string lockFolder;     // `bus`: where devices are locked across processes
};

Bus g_bus;
Scenario g_scenario;

void LeaveMode(Device& d);

// The device is gone from the bus: it is no longer listed, sends nothing
// more, and every call on a handle to it fails.
void Unplug(Device& d) {
    if (d.unplugged) return;
    d.unplugged = true;
    std::size_t index = 0;
    while (g_bus.devices[index].get() != &d) ++index;
    g_bus.order.erase(std::remove(g_bus.order.begin(), g_bus.order.end(), index), g_bus.order.end());
    LeaveMode(d);
    d.toHost.clear();
    d.txBacklog = 0;
}

// Counts the call and carries out what the scenario makes happen at it:
// `concerned` (the handle's device, the one an open names; otherwise the one
// the update talks to) may be unplugged, and a stop requested as SIGTERM or
// Ctrl+C would, taking effect at the program's next device call or pause.
// True when the call fails.
bool CallHappens(D2xxCall call, Device* concerned) {
    auto which = static_cast<std::size_t>(call);
    std::uint32_t n = ++g_bus.callCounts[which];
    const auto& events = g_bus.events[which];
    if (events.empty()) return false;
    auto it = events.find(n);
    if (it == events.end()) return false;
    if (it->second & kUnplugs) Unplug(concerned ? *concerned : TheDevice());
    if (it->second & kTerminates) OnTerminate();
    if (it->second & kInterrupts) OnInterrupt();
    return it->second & kFails;
}

// The open device a handle stands for, or null.
Device* Opened(FT_HANDLE h) {
    for (auto& d : g_bus.devices)
        if (h == d.get() && d->open) return d.get();
    return nullptr;
}

void Unlock(Device& d);

// The device is closed: its handle is given back. A device that
// re-enumerates, or one plugged in meanwhile: the order changes between
// connections.
void Release(Device& d) {
    d.open = false;
    Unlock(d);
    ++g_bus.closes;
    if (g_bus.closes == g_scenario.swapOrderAfter) std::reverse(g_bus.order.begin(), g_bus.order.end());
    if (g_bus.closes == g_scenario.attachAfter) {
        std::vector<std::size_t> later;
        for (std::size_t i = 0; i < g_scenario.attachedLater.size(); ++i)
            later.push_back(g_scenario.devices.size() + i);
        g_bus.order.insert(g_bus.order.begin(), later.begin(), later.end());
    }
}

// What every call on an open device does first: the devices catch up with
// the clock, the scenario may make the call fail or take the device away,
// and the handle must be an open device's that is still attached. Null with
// the status to return otherwise. A close of a device that is gone fails
// as every other call on it, and still gives the handle back.
Device* Enter(D2xxCall call, FT_HANDLE h, FT_STATUS& refused) {
    for (auto& d : g_bus.devices) {
        GateArrayDue(*d, NowMs());
        ChipSendsUntil(*d, NowMs());
    }
    Device* d = Opened(h);
    bool fails = CallHappens(call, d);
    refused = FT_IO_ERROR;
    if (d && d->unplugged) {
        if (call == D2xxCall::Close) Release(*d);
        return nullptr;
    }
    if (fails) return nullptr;
    refused = FT_INVALID_HANDLE;
    return d;
}

// The device listed at an index, or null past the end.
Device* Listed(std::uintptr_t index) {
    return index < g_bus.order.size() ? g_bus.devices[g_bus.order[index]].get() : nullptr;
}

// Bytes already in the host's receive queue at the current time (the
// chip has sent its packets up to now: Enter).
std::uint32_t Arrived(const Device& d) {
    std::uint64_t now = NowMs();
    std::uint32_t n = 0;
    for (const auto& in : d.toHost) {
        if (in.at > now) break;
        ++n;
    }
    return n;
}

// The driver's transmit queue drains (TxBytesPerSecond); parts of a byte
// carry over.
void DrainTx(Device& d) {
    std::uint64_t now = NowMs();
    if (now <= d.txDrainedAt) return;
    std::uint64_t milliBytes = (now - d.txDrainedAt) * TxBytesPerSecond(d) + d.txDrainCarry;
    std::uint64_t sent = milliBytes / 1000;
    d.txBacklog = sent >= d.txBacklog ? 0 : d.txBacklog - static_cast<std::uint32_t>(sent);
    d.txDrainCarry = d.txBacklog > 0 ? milliBytes % 1000 : 0;
    d.txDrainedAt = now;
}

void RememberCommand(Device& d, std::uint8_t byte) {
    auto& last = d.lastCommands;
    last.push_back(byte);
    if (last.size() > 4) last.erase(last.begin());
}

bool HandshakePatternSent(const Device& d) {
    static const std::uint8_t kPattern[] = {CMD_SYNC_A, CMD_SYNC_B, CMD_SYNC_A, CMD_LOADER};
    const auto& last = d.lastCommands;
    return last.size() == 4 && std::equal(last.begin(), last.end(), kPattern);
}

void LeaveMode(Device& d) {
    if (d.mode == Mode::GateArrayErase || d.mode == Mode::GateArrayProgram) GateArrayEnd(d);
    if (d.mode == Mode::Loader) LoaderEnd(d);
    d.mode = Mode::Idle;
}

void CommandByte(Device& d, std::uint8_t byte) {
    RememberCommand(d, byte);
    switch (byte) {
        case CMD_GROUP_OPEN:
            PromGroupOpen(d);
            return;
        case CMD_GROUP_CLOSE:
            PromGroupClose(d);
            return;
        case CMD_LOADER:
            LeaveMode(d);
            d.mode = Mode::Loader;
            LoaderBegin(d);
            return;
        case CMD_END: {
            std::uint8_t pending = d.pendingModeByte;
            d.pendingModeByte = 0;
            LeaveMode(d);
            switch (pending) {
                case CMD_RESET:
                    ++d.resets;
                    break;
                case CMD_FACTORY_RESET:
                    ++d.factoryResets;
                    break;
                case CMD_COM_CHECK:
                    d.mode = Mode::ComCheck;
                    ComCheckBegin(d);
                    break;
                case CMD_GATE_ARRAY_ERASE:
                    d.mode = Mode::GateArrayErase;
                    GateArrayEraseBegin(d);
                    break;
                case CMD_GATE_ARRAY_PROGRAM:
                    d.mode = Mode::GateArrayProgram;
                    GateArrayProgramBegin(d);
                    break;
                default:
                    break;
            }
            return;
        }
        case CMD_RESET:
        case CMD_FACTORY_RESET:
        case CMD_COM_CHECK:
        case CMD_GATE_ARRAY_ERASE:
        case CMD_GATE_ARRAY_PROGRAM:
            d.pendingModeByte = byte;
            return;
        default:
            return;  // the handshake bytes 0xE8 and 0xEC only count in the pattern
    }
}

// Data bytes (below 0xC0) for the mode the processor is in, a run of them
// at a time: only a command byte changes where they go.
void Data(Device& d, const std::uint8_t* bytes, std::size_t count) {
    if (d.prom.groupOpen) {
        PromGroupData(d, bytes, count);
        return;
    }
    switch (d.mode) {
        case Mode::Loader:
            for (std::size_t i = 0; i < count; ++i) {
                if (bytes[i] == SYNC_BYTE && d.loader.record.empty() && HandshakePatternSent(d)) {
                    ++d.handshakes;
                    if (d.scenario.handshakeReply)
                        SendToHost(d, std::string(1, static_cast<char>(*d.scenario.handshakeReply)), ReceivedAt(d));
                    continue;
                }
                LoaderData(d, bytes[i]);
            }
            return;
        case Mode::GateArrayErase:
        case Mode::GateArrayProgram:
            GateArrayData(d, bytes, count);
            return;
        default:
            return;
    }
}

// What the processor receives: a byte of 0xC0 or more is a command byte,
// the others are data.
void Receive(Device& d, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t end = i;
        while (end < count && bytes[end] < CMD_END) ++end;
        if (end > i) Data(d, bytes + i, end - i);
        if (end < count) CommandByte(d, bytes[end]);
        i = end;
    }
}

// FT_LIST_ALL: every device's text (pArg1 an array of buffers ended by a
// null pointer) or location (pArg1 an array of DWORDs) at once, and their
// number in pArg2. A program lists so to show what is attached before a
// run; it is no part of the run, so the scenario's `fail` does not count it.
FT_STATUS ListAll(PVOID pArg1, PVOID pArg2, DWORD naming) {
    if (!pArg1 || !pArg2 || naming == 0) return FT_INVALID_PARAMETER;
    DWORD count = static_cast<DWORD>(g_bus.order.size());
    for (DWORD i = 0; i < count; ++i) {
        const Device& d = *Listed(i);
        if (naming == FT_OPEN_BY_LOCATION) {
            static_cast<DWORD*>(pArg1)[i] = d.location;
            continue;
        }
        char* out = static_cast<char**>(pArg1)[i];
        if (!out) break;  // the caller's array ends here
        static const std::string kUnread;
        const std::string& text = d.noAccess ? kUnread : naming == FT_OPEN_BY_SERIAL_NUMBER ? d.serial : d.description;
        std::memset(out, 0, FT_DESCRIPTION_SIZE);
        std::memcpy(out, text.c_str(), std::min<std::size_t>(text.size(), FT_DESCRIPTION_SIZE - 1));
    }
    *static_cast<DWORD*>(pArg2) = count;
    return FT_OK;
}

FT_STATUS WINAPI SimListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    if (Flags & FT_LIST_ALL) return ListAll(pArg1, pArg2, D2xxNaming(Flags));
    if (CallHappens(D2xxCall::ListDevices, nullptr)) return FT_IO_ERROR;
    if (Flags & FT_LIST_NUMBER_ONLY) {
        if (!pArg1) return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(g_bus.order.size());
        return FT_OK;
    }
    DWORD naming = D2xxNaming(Flags);
    if (!(Flags & FT_LIST_BY_INDEX) || naming == 0) return FT_INVALID_PARAMETER;
    const Device* d = Listed(reinterpret_cast<std::uintptr_t>(pArg1));
    if (!d) return FT_DEVICE_NOT_FOUND;
    if (!pArg2) return FT_INVALID_PARAMETER;
    if (naming == FT_OPEN_BY_LOCATION) {
        *static_cast<DWORD*>(pArg2) = d->location;
        return FT_OK;
    }
    // The driver cannot open a device this user may not use to read its names.
    if (d->noAccess) return FT_DEVICE_NOT_OPENED;
    const std::string& text = naming == FT_OPEN_BY_SERIAL_NUMBER ? d->serial : d->description;
    char* out = static_cast<char*>(pArg2);
    std::memset(out, 0, FT_DESCRIPTION_SIZE);
    std::memcpy(out, text.c_str(), std::min<std::size_t>(text.size(), FT_DESCRIPTION_SIZE - 1));
    return FT_OK;
}

// Takes the device for this process; with a bus folder, also against the
// other processes that emulate the same bus.
bool Lock(Device& d) {
    if (g_bus.lockFolder.empty()) return true;
#if defined(_WIN32)
    (void)d;  // the stand-in DLL serves one process: nothing to lock against
    return true;
#else
    // By location: serial numbers may be missing or shared.
    char name[32];
    std::snprintf(name, sizeof name, "%08X.lock", static_cast<unsigned>(d.location));
    std::string path = (std::filesystem::path(g_bus.lockFolder) / name).string();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    d.lockFd = fd;
    return true;
#endif
}

void Unlock(Device& d) {
#if !defined(_WIN32)
    if (d.lockFd >= 0) ::close(d.lockFd);  // closing the file releases the lock
#endif
    d.lockFd = -1;
}

FT_STATUS WINAPI SimOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    // Flags that name the device one way, and nothing else.
    DWORD naming = D2xxNaming(Flags);
    bool valid = naming == Flags && naming != 0 && (pArg1 || naming == FT_OPEN_BY_LOCATION) && pHandle;
    // The first device in listing order named exactly so.
    Device* found = nullptr;
    for (std::size_t index : g_bus.order) {
        Device& d = *g_bus.devices[index];
        bool named =
            valid && (naming == FT_OPEN_BY_LOCATION
                          ? d.location == static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1))
                          : (naming == FT_OPEN_BY_SERIAL_NUMBER ? d.serial : d.description) ==
                                static_cast<const char*>(pArg1));
        if (named) {
            found = &d;
            break;
        }
    }
    if (CallHappens(D2xxCall::OpenEx, found)) return FT_DEVICE_NOT_OPENED;
    if (!valid) return FT_INVALID_PARAMETER;
    if (!found || found->unplugged) return FT_DEVICE_NOT_FOUND;
    // The driver opens a device once, in this process or another.
    if (found->open || found->noAccess || !Lock(*found)) return FT_DEVICE_NOT_OPENED;
    found->open = true;
    found->readTimeoutMs = 0;
    ChipOpened(*found);
    g_bus.updated = found;
    *pHandle = found;
    return FT_OK;
}

FT_STATUS WINAPI SimClose(FT_HANDLE h) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Close, h, refused);
    if (!d) return refused;
    Release(*d);
    return FT_OK;
}

FT_STATUS WINAPI SimRead(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD returned) {
    if (returned) *returned = 0;
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Read, h, refused);
    if (!d) return refused;
    if (!buffer || !returned) return FT_INVALID_PARAMETER;

    // The read returns when `count` bytes have arrived or the time-out has
    // passed. A time-out of 0 waits for as long as bytes are still coming.
    auto& queue = d->toHost;
    std::uint64_t now = NowMs();
    std::uint64_t deadline = d->readTimeoutMs ? now + d->readTimeoutMs : UINT64_MAX;
    GateArrayDue(*d, deadline);
    std::vector<std::uint64_t> arrivals = HostArrivals(*d, count);
    DWORD available = 0;
    while (available < arrivals.size() && arrivals[available] <= deadline) ++available;
    std::uint64_t returnAt = deadline;
    if (available == count)
        returnAt = std::max(now, arrivals[available - 1]);
    else if (deadline == UINT64_MAX)
        returnAt = available ? std::max(now, arrivals[available - 1]) : now;
    SleepUntilMs(returnAt);
    ChipSendsUntil(*d, returnAt);

    auto* out = static_cast<std::uint8_t*>(buffer);
    DWORD n = 0;
    while (n < count && !queue.empty() && queue.front().at <= returnAt) {
        out[n++] = queue.front().byte;
        queue.pop_front();
    }
    *returned = n;
    return FT_OK;
}

FT_STATUS WINAPI SimWrite(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD written) {
    if (written) *written = 0;
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Write, h, refused);
    if (!d) return refused;
    if (!buffer || !written) return FT_INVALID_PARAMETER;
    DrainTx(*d);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    d->txBacklog += count;
    CarryToDevice(*d);
    Receive(*d, bytes, count);
    bool servingGateArray = d->mode == Mode::GateArrayErase || d->mode == Mode::GateArrayProgram;
    *written = servingGateArray ? GateArrayBytesWritten(*d, count) : count;
    return FT_OK;
}

FT_STATUS WINAPI SimPurge(FT_HANDLE h, ULONG mask) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Purge, h, refused);
    if (!d) return refused;
    if (mask & FT_PURGE_RX) {
        // What the device has sent, arrived or still in the chip, is
        // dropped; what it sends later still comes.
        std::uint64_t nowUs = NowMs() * 1000;
        auto& queue = d->toHost;
        while (!queue.empty() && queue.front().sentUs <= nowUs) queue.pop_front();
    }
    if (mask & FT_PURGE_TX) {
        d->txBacklog = 0;
        d->txDrainCarry = 0;
        d->txDrainedAt = NowMs();
    }
    return FT_OK;
}

FT_STATUS WINAPI SimSetTimeouts(FT_HANDLE h, ULONG readMs, ULONG) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::SetTimeouts, h, refused);
    if (!d) return refused;
    d->readTimeoutMs = readMs;
    return FT_OK;
}

FT_STATUS WINAPI SimGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::GetQueueStatus, h, refused);
    if (!d) return refused;
    if (!rx) return FT_INVALID_PARAMETER;
    *rx = Arrived(*d);
    return FT_OK;
}

FT_STATUS WINAPI SimGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* event) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::GetStatus, h, refused);
    if (!d) return refused;
    if (!rx || !tx || !event) return FT_INVALID_PARAMETER;
    DrainTx(*d);
    *rx = Arrived(*d);
    *tx = d->txBacklog;
    *event = 0;
    return FT_OK;
}

// The timer takes what the driver takes; the chip's packets up to now went
// at the timer before.
FT_STATUS WINAPI SimSetLatencyTimer(FT_HANDLE h, UCHAR ms) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::SetLatencyTimer, h, refused);
    if (!d) return refused;
    if (ms < kLatencyTimerMinMs) return FT_INVALID_PARAMETER;
    ChipSetLatency(*d, ms);
    return FT_OK;
}

const D2xxOps kEmulator = {"emulator",
#define EMULATOR_ENTRY(call, params, args) Sim##call,
                           D2XX_CALLS(EMULATOR_ENTRY)
#undef EMULATOR_ENTRY
};

}  // namespace

Device& TheDevice() { return g_bus.updated ? *g_bus.updated : *g_bus.devices.front(); }

Device* FindDevice(const std::string& serial) {
    for (auto& d : g_bus.devices)
        if (d->serial == serial) return d.get();
    return nullptr;
}

Device* DeviceAt(DWORD location) {
    for (auto& d : g_bus.devices)
        if (d->location == location) return d.get();
    return nullptr;
}

void StartEmulator(const Scenario& scenario, const std::string& scenarioFolder) {
    for (auto& d : g_bus.devices) Unlock(*d);
    g_bus = Bus{};
    g_scenario = scenario;
    for (auto [calls, event] : {std::pair{&scenario.failures, kFails},
                                {&scenario.unplugs, kUnplugs},
                                {&scenario.terminations, kTerminates},
                                {&scenario.interruptions, kInterrupts}})
        for (const auto& [call, numbers] : *calls)
            for (std::uint32_t n : numbers) g_bus.events[static_cast<std::size_t>(call)][n] |= event;
    std::uint32_t length = 0;
    if (scenario.gaLength) {
        length = *scenario.gaLength;
    } else {
        std::error_code ec;
        auto size = std::filesystem::file_size("GEN.dat", ec);
        if (!ec) length = static_cast<std::uint32_t>(size);
    }
    // Every device is a QVM7316 of its own: those attached from the start,
    // listed, then those plugged in later. With none at all, one stands
    // ready for the dump, never listed.
    std::vector<AttachedDevice> all = scenario.devices;
    all.insert(all.end(), scenario.attachedLater.begin(), scenario.attachedLater.end());
    std::size_t count = std::max<std::size_t>(all.size(), 1);
    for (std::size_t i = 0; i < count; ++i) {
        auto d = std::make_unique<Device>();
        d->scenario = scenario;
        d->location = static_cast<DWORD>(i + 1);
        if (i < all.size()) {
            d->description = all[i].description;
            d->serial = all[i].serial;
            d->noAccess = all[i].noAccess;
        }
        if (i < scenario.devices.size()) g_bus.order.push_back(i);
        d->txDrainedAt = NowMs();
        d->gateArray.length = length;
        d->gateArray.image.assign(length, kGateArrayOldByte);
        g_bus.devices.push_back(std::move(d));
    }
    if (!scenario.bus.empty()) {
        std::filesystem::path folder = scenario.bus;
        if (folder.is_relative()) folder = std::filesystem::path(scenarioFolder) / folder;
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        g_bus.lockFolder = folder.string();
    }
}

const D2xxOps* EmulatorD2xx() { return &kEmulator; }

}  // namespace sim
