// The USB side of the emulated device and its byte dispatch.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "platform/clock.h"
#include "protocol/commands.h"
#include "sim/device.h"

namespace sim {
namespace {

Device g_device;

// The handle the emulator hands out; any other value is invalid.
FT_HANDLE Handle() { return &g_device; }

// Counts the call and tells whether the scenario makes this one fail.
bool FailsNow(D2xxCall call) {
    std::uint32_t n = ++g_device.callCounts[static_cast<int>(call)];
    auto it = g_device.scenario.failures.find(call);
    if (it == g_device.scenario.failures.end()) return false;
    return std::find(it->second.begin(), it->second.end(), n) != it->second.end();
}

bool Valid(FT_HANDLE h) { return g_device.open && h == Handle(); }

// What every call on an open device does first: the device catches up with
// the clock, the scenario may make the call fail, and the handle must be
// the open device's.
FT_STATUS Enter(D2xxCall call, FT_HANDLE h) {
    GateArrayDue(g_device, NowMs());
    if (FailsNow(call)) return FT_IO_ERROR;
    if (!Valid(h)) return FT_INVALID_HANDLE;
    return FT_OK;
}

// Bytes already in the host's receive queue at the current time.
std::uint32_t Arrived() {
    std::uint64_t now = NowMs();
    std::uint32_t n = 0;
    for (const auto& in : g_device.toHost) {
        if (in.at > now) break;
        ++n;
    }
    return n;
}

void DrainTx() {
    std::uint64_t now = NowMs();
    if (now <= g_device.txDrainedAt) return;
    std::uint64_t sent = (now - g_device.txDrainedAt) * g_device.scenario.txDrainBytesPerMs;
    g_device.txBacklog = sent >= g_device.txBacklog ? 0 : g_device.txBacklog - static_cast<std::uint32_t>(sent);
    g_device.txDrainedAt = now;
}

void RememberCommand(std::uint8_t byte) {
    auto& last = g_device.lastCommands;
    last.push_back(byte);
    if (last.size() > 4) last.erase(last.begin());
}

bool HandshakePatternSent() {
    static const std::uint8_t kPattern[] = {CMD_SYNC_A, CMD_SYNC_B, CMD_SYNC_A, CMD_LOADER};
    const auto& last = g_device.lastCommands;
    return last.size() == 4 && std::equal(last.begin(), last.end(), kPattern);
}

void LeaveMode(Device& d) {
    if (d.mode == Mode::GateArrayErase || d.mode == Mode::GateArrayProgram) GateArrayEnd(d);
    if (d.mode == Mode::Loader) LoaderEnd(d);
    d.mode = Mode::Idle;
}

void CommandByte(Device& d, std::uint8_t byte) {
    RememberCommand(byte);
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
            if (byte == SYNC_BYTE && d.loader.record.empty() && HandshakePatternSent()) {
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

void Receive(std::uint8_t byte) {
    if (byte >= CMD_END)
        CommandByte(g_device, byte);
    else
        DataByte(g_device, byte);
}

FT_STATUS WINAPI SimListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    if (FailsNow(D2xxCall::ListDevices)) return FT_IO_ERROR;
    const auto& devices = g_device.scenario.devices;
    if (Flags & FT_LIST_NUMBER_ONLY) {
        if (!pArg1) return FT_INVALID_PARAMETER;
        *static_cast<DWORD*>(pArg1) = static_cast<DWORD>(devices.size());
        return FT_OK;
    }
    if ((Flags & FT_LIST_BY_INDEX) && (Flags & FT_OPEN_BY_DESCRIPTION)) {
        auto index = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(pArg1));
        if (index >= devices.size()) return FT_DEVICE_NOT_FOUND;
        if (!pArg2) return FT_INVALID_PARAMETER;
        char* out = static_cast<char*>(pArg2);
        std::memset(out, 0, FT_DESCRIPTION_SIZE);
        std::memcpy(out, devices[index].c_str(), std::min<std::size_t>(devices[index].size(), FT_DESCRIPTION_SIZE - 1));
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

FT_STATUS WINAPI SimOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    if (FailsNow(D2xxCall::OpenEx)) return FT_DEVICE_NOT_OPENED;
    if (Flags != FT_OPEN_BY_DESCRIPTION || !pArg1 || !pHandle) return FT_INVALID_PARAMETER;
    const auto& devices = g_device.scenario.devices;
    if (std::find(devices.begin(), devices.end(), static_cast<const char*>(pArg1)) == devices.end())
        return FT_DEVICE_NOT_FOUND;
    if (g_device.open) return FT_DEVICE_NOT_OPENED;  // the driver opens a device once
    g_device.open = true;
    g_device.readTimeoutMs = 0;
    *pHandle = Handle();
    return FT_OK;
}

FT_STATUS WINAPI SimClose(FT_HANDLE h) {
    if (FT_STATUS refused = Enter(D2xxCall::Close, h); refused != FT_OK) return refused;
    g_device.open = false;
    return FT_OK;
}

FT_STATUS WINAPI SimRead(FT_HANDLE h, LPVOID buffer, DWORD count, LPDWORD returned) {
    if (returned) *returned = 0;
    if (FT_STATUS refused = Enter(D2xxCall::Read, h); refused != FT_OK) return refused;
    if (!buffer || !returned) return FT_INVALID_PARAMETER;

    // The read returns when `count` bytes have arrived or the time-out has
    // passed. A time-out of 0 waits for as long as bytes are still coming.
    auto& queue = g_device.toHost;
    std::uint64_t now = NowMs();
    std::uint64_t deadline = g_device.readTimeoutMs ? now + g_device.readTimeoutMs : UINT64_MAX;
    GateArrayDue(g_device, deadline);
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
    if (FT_STATUS refused = Enter(D2xxCall::Write, h); refused != FT_OK) return refused;
    if (!buffer || !written) return FT_INVALID_PARAMETER;
    DrainTx();
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (DWORD i = 0; i < count; ++i) Receive(bytes[i]);
    g_device.txBacklog += count;
    bool servingGateArray = g_device.mode == Mode::GateArrayErase || g_device.mode == Mode::GateArrayProgram;
    *written = servingGateArray ? GateArrayBytesWritten(g_device, count) : count;
    return FT_OK;
}

FT_STATUS WINAPI SimPurge(FT_HANDLE h, ULONG mask) {
    if (FT_STATUS refused = Enter(D2xxCall::Purge, h); refused != FT_OK) return refused;
    if (mask & FT_PURGE_RX) {
        // What has arrived is dropped; what the device sends later still comes.
        std::uint64_t now = NowMs();
        auto& queue = g_device.toHost;
        while (!queue.empty() && queue.front().at <= now) queue.pop_front();
    }
    if (mask & FT_PURGE_TX) {
        g_device.txBacklog = 0;
        g_device.txDrainedAt = NowMs();
    }
    return FT_OK;
}

FT_STATUS WINAPI SimSetTimeouts(FT_HANDLE h, ULONG readMs, ULONG) {
    if (FT_STATUS refused = Enter(D2xxCall::SetTimeouts, h); refused != FT_OK) return refused;
    g_device.readTimeoutMs = readMs;
    return FT_OK;
}

FT_STATUS WINAPI SimGetQueueStatus(FT_HANDLE h, DWORD* rx) {
    if (FT_STATUS refused = Enter(D2xxCall::GetQueueStatus, h); refused != FT_OK) return refused;
    if (!rx) return FT_INVALID_PARAMETER;
    *rx = Arrived();
    return FT_OK;
}

FT_STATUS WINAPI SimGetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* event) {
    if (FT_STATUS refused = Enter(D2xxCall::GetStatus, h); refused != FT_OK) return refused;
    if (!rx || !tx || !event) return FT_INVALID_PARAMETER;
    DrainTx();
    *rx = Arrived();
    *tx = g_device.txBacklog;
    *event = 0;
    return FT_OK;
}

const D2xxOps kEmulator = {"emulator",
#define EMULATOR_ENTRY(call, params, args) Sim##call,
                           D2XX_CALLS(EMULATOR_ENTRY)
#undef EMULATOR_ENTRY
};

}  // namespace

Device& TheDevice() { return g_device; }

void StartEmulator(const Scenario& scenario) {
    g_device = Device{};
    g_device.scenario = scenario;
    g_device.txDrainedAt = NowMs();
    std::uint32_t length = 0;
    if (scenario.gaLength) {
        length = *scenario.gaLength;
    } else {
        std::error_code ec;
        auto size = std::filesystem::file_size("GEN.dat", ec);
        if (!ec) length = static_cast<std::uint32_t>(size);
    }
    g_device.gateArray.length = length;
    g_device.gateArray.image.assign(length, 0xFF);
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
