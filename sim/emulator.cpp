// The USB side of the emulated device and its byte dispatch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/clock.h"
#include "protocol/commands.h"
#include "sim/device.h"

namespace sim {
namespace {

// The attached devices, each with its own state; a device's handle is its
// address. The listing shows them in `order`, which the scenario may
// reverse between connections.
struct Bus {
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::size_t> order;
    std::array<std::uint32_t, kD2xxCallCount> callCounts{};  // over all devices, for `fail`
    std::uint32_t closes = 0;
    Device* updated = nullptr;  // the device opened last
    std::string lockFolder;     // `bus`: where devices are locked across processes
};

Bus g_bus;
Scenario g_scenario;

// Counts the call and tells whether the scenario makes this one fail.
bool FailsNow(D2xxCall call) {
    std::uint32_t n = ++g_bus.callCounts[static_cast<int>(call)];
    auto it = g_scenario.failures.find(call);
    if (it == g_scenario.failures.end()) return false;
    return std::find(it->second.begin(), it->second.end(), n) != it->second.end();
}

// The open device a handle stands for, or null.
Device* Opened(FT_HANDLE h) {
    for (auto& d : g_bus.devices)
        if (h == d.get() && d->open) return d.get();
    return nullptr;
}

// What every call on an open device does first: the devices catch up with
// the clock, the scenario may make the call fail, and the handle must be
// an open device's. Null with the status to return otherwise.
Device* Enter(D2xxCall call, FT_HANDLE h, FT_STATUS& refused) {
    for (auto& d : g_bus.devices) GateArrayDue(*d, NowMs());
    refused = FT_IO_ERROR;
    if (FailsNow(call)) return nullptr;
    refused = FT_INVALID_HANDLE;
    return Opened(h);
}

// The device listed at an index, or null past the end.
Device* Listed(std::uintptr_t index) {
    return index < g_bus.order.size() ? g_bus.devices[g_bus.order[index]].get() : nullptr;
}

// Bytes already in the host's receive queue at the current time.
std::uint32_t Arrived(const Device& d) {
    std::uint64_t now = NowMs();
    std::uint32_t n = 0;
    for (const auto& in : d.toHost) {
        if (in.at > now) break;
        ++n;
    }
    return n;
}

void DrainTx(Device& d) {
    std::uint64_t now = NowMs();
    if (now <= d.txDrainedAt) return;
    std::uint64_t sent = (now - d.txDrainedAt) * d.scenario.txDrainBytesPerMs;
    d.txBacklog = sent >= d.txBacklog ? 0 : d.txBacklog - static_cast<std::uint32_t>(sent);
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

void DataByte(Device& d, std::uint8_t byte) {
    if (d.prom.groupOpen) {
        PromGroupData(d, byte);
        return;
    }
    switch (d.mode) {
        case Mode::Loader:
            if (byte == SYNC_BYTE && d.loader.record.empty() && HandshakePatternSent(d)) {
                ++d.handshakes;
                if (d.scenario.handshakeReply)
                    SendToHost(d, std::string(1, static_cast<char>(*d.scenario.handshakeReply)), NowMs());
                return;
            }
            LoaderData(d, byte);
            return;
        case Mode::GateArrayErase:
        case Mode::GateArrayProgram:
            GateArrayData(d, byte);
            return;
        default:
            return;
    }
}

void Receive(Device& d, std::uint8_t byte) {
    if (byte >= CMD_END)
        CommandByte(d, byte);
    else
        DataByte(d, byte);
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
    if (FailsNow(D2xxCall::ListDevices)) return FT_IO_ERROR;
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
    if (FailsNow(D2xxCall::OpenEx)) return FT_DEVICE_NOT_OPENED;
    // Flags that name the device one way, and nothing else.
    DWORD naming = D2xxNaming(Flags);
    if (naming != Flags || naming == 0 || (!pArg1 && naming != FT_OPEN_BY_LOCATION) || !pHandle)
        return FT_INVALID_PARAMETER;
    // The first device in listing order named exactly so.
    Device* found = nullptr;
    for (std::size_t index : g_bus.order) {
        Device& d = *g_bus.devices[index];
        bool named =
            naming == FT_OPEN_BY_LOCATION
                ? d.location == static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1))
                : (naming == FT_OPEN_BY_SERIAL_NUMBER ? d.serial : d.description) == static_cast<const char*>(pArg1);
        if (named) {
            found = &d;
            break;
        }
    }
    if (!found) return FT_DEVICE_NOT_FOUND;
    // The driver opens a device once, in this process or another.
    if (found->open || found->noAccess || !Lock(*found)) return FT_DEVICE_NOT_OPENED;
    found->open = true;
    found->readTimeoutMs = 0;
    g_bus.updated = found;
    *pHandle = found;
    return FT_OK;
}

FT_STATUS WINAPI SimClose(FT_HANDLE h) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Close, h, refused);
    if (!d) return refused;
    d->open = false;
    Unlock(*d);
    // A device that re-enumerates, or one plugged in meanwhile: the order
    // changes between connections.
    ++g_bus.closes;
    if (g_bus.closes == g_scenario.swapOrderAfter) std::reverse(g_bus.order.begin(), g_bus.order.end());
    if (g_bus.closes == g_scenario.attachAfter) {
        std::vector<std::size_t> later;
        for (std::size_t i = 0; i < g_scenario.attachedLater.size(); ++i)
            later.push_back(g_scenario.devices.size() + i);
        g_bus.order.insert(g_bus.order.begin(), later.begin(), later.end());
    }
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
    std::uint64_t returnAt = deadline;
    DWORD available = 0;
    for (const auto& in : queue) {
        if (in.at > deadline || available == count) break;
        ++available;
        if (available == count) returnAt = std::max(now, in.at);
    }
    if (available < count && deadline == UINT64_MAX)
        returnAt = available ? std::max(now, queue[available - 1].at) : now;
    SleepUntilMs(returnAt);

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
    for (DWORD i = 0; i < count; ++i) Receive(*d, bytes[i]);
    d->txBacklog += count;
    bool servingGateArray = d->mode == Mode::GateArrayErase || d->mode == Mode::GateArrayProgram;
    *written = servingGateArray ? GateArrayBytesWritten(*d, count) : count;
    return FT_OK;
}

FT_STATUS WINAPI SimPurge(FT_HANDLE h, ULONG mask) {
    FT_STATUS refused;
    Device* d = Enter(D2xxCall::Purge, h, refused);
    if (!d) return refused;
    if (mask & FT_PURGE_RX) {
        // What has arrived is dropped; what the device sends later still comes.
        std::uint64_t now = NowMs();
        auto& queue = d->toHost;
        while (!queue.empty() && queue.front().at <= now) queue.pop_front();
    }
    if (mask & FT_PURGE_TX) {
        d->txBacklog = 0;
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
        d->gateArray.image.assign(length, 0xFF);
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

void SendToHost(Device& device, const std::string& bytes, std::uint64_t at) {
    auto& queue = device.toHost;
    auto pos = std::upper_bound(queue.begin(), queue.end(), at,
                                [](std::uint64_t t, const Device::Incoming& in) { return t < in.at; });
    std::deque<Device::Incoming> add;
    for (char c : bytes) add.push_back({at, static_cast<std::uint8_t>(c)});
    queue.insert(pos, add.begin(), add.end());
}

}  // namespace sim
