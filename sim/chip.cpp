// The way between the onboard processor and the host: the UART, whose line
// time a scenario may add (line_rate), and the FTDI chip, which hands what
// the device sends to the host in packets.
//
// The chip, as an FT232R: a packet holds at most 62 bytes of data. It goes
// as soon as 62 are waiting; otherwise when the latency timer runs out,
// counted from the chip's last packet, with whatever is waiting (a packet
// of status bytes alone when nothing is, which keeps the timer's beat). So
// a short reply reaches the host up to a timer's length after the device
// sent it, half of it on average.
//
// The packets are worked out when the host looks (ChipSendsUntil, before
// every call): until then the device may still add bytes, or withdraw
// those it has not sent yet.
#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"

namespace sim {
namespace {

constexpr std::uint64_t kUsPerMs = 1000;
constexpr std::uint64_t kBitsPerByte = 10;  // a start bit, 8 data bits, a stop bit

std::uint64_t CeilMs(std::uint64_t us) { return (us + kUsPerMs - 1) / kUsPerMs; }

// A byte's line time on the UART (us); 0 without a line rate.
std::uint64_t ByteUs(const Device& d) {
    std::uint64_t rate = d.scenario.lineRateBaud;
    return rate ? (kBitsPerByte * 1000000 + rate / 2) / rate : 0;
}

// The first byte whose packet has not gone; those before it have.
std::size_t FirstUnsent(const Device& d) {
    std::size_t i = 0;
    while (i < d.toHost.size() && d.toHost[i].at != Device::kNotYetSent) ++i;
    return i;
}

struct Packet {
    std::size_t end;     // the index after its last byte
    std::uint64_t atUs;  // when it goes
};

// The chip's packets for the bytes on their way, as it will send them from
// its state now, until one holds the byte at index `upTo` or one would go
// after `untilUs`.
std::vector<Packet> PlanPackets(const Device& d, std::size_t upTo, std::uint64_t untilUs) {
    std::vector<Packet> packets;
    const auto& queue = d.toHost;
    std::uint64_t last = d.lastPacketUs;
    std::uint64_t period = std::uint64_t{d.latencyMs} * kUsPerMs;
    std::size_t stop = std::min(upTo + 1, queue.size());
    for (std::size_t i = FirstUnsent(d); i < stop;) {
        // A byte the chip had before its last packet goes with the next one.
        auto had = [&](std::size_t k) { return std::max(queue[k].sentUs, last); };
        Packet packet{i + 1, had(i)};
        if (period > 0) {
            // Timer periods with nothing to send pass with status bytes alone.
            if (had(i) > last + period) last += (had(i) - last - 1) / period * period;
            std::uint64_t timerEnds = last + period;
            std::size_t end = i;
            while (end < queue.size() && end - i < kChipPacketData && had(end) <= timerEnds) ++end;
            packet = {end, end - i == kChipPacketData ? had(end - 1) : timerEnds};
        }
        if (packet.atUs > untilUs) break;
        packets.push_back(packet);
        last = packet.atUs;
        i = packet.end;
    }
    return packets;
}

}  // namespace

void ChipSendsUntil(Device& d, std::uint64_t untilMs) {
    std::size_t from = FirstUnsent(d);
    for (const Packet& packet : PlanPackets(d, d.toHost.size(), untilMs * kUsPerMs)) {
        for (; from < packet.end; ++from) d.toHost[from].at = CeilMs(packet.atUs);
        d.lastPacketUs = packet.atUs;
        d.deliveredSentUs = d.toHost[packet.end - 1].sentUs + 1;
    }
}

std::vector<std::uint64_t> HostArrivals(const Device& d, std::size_t count) {
    std::vector<std::uint64_t> arrivals;
    count = std::min(count, d.toHost.size());
    if (count == 0) return arrivals;
    for (std::size_t i = 0; i < count && d.toHost[i].at != Device::kNotYetSent; ++i) arrivals.push_back(d.toHost[i].at);
    for (const Packet& packet : PlanPackets(d, count - 1, UINT64_MAX))
        while (arrivals.size() < std::min(packet.end, count)) arrivals.push_back(CeilMs(packet.atUs));
    return arrivals;
}

void ChipSetLatency(Device& d, std::uint8_t latencyMs) {
    ChipSendsUntil(d, NowMs());
    d.latencyMs = d.scenario.chipTimer ? latencyMs : 0;
    d.lastPacketUs = NowMs() * kUsPerMs;
}

void ChipOpened(Device& d) { ChipSetLatency(d, kChipDefaultLatencyMs); }

void HandOverAtOnce(Device& d) {
    ChipSendsUntil(d, NowMs());
    d.latencyMs = 0;
}

void SendToHost(Device& device, const std::string& bytes, std::uint64_t at) {
    auto& queue = device.toHost;
    std::uint64_t startUs = at * kUsPerMs;
    // Mostly the bytes come after all that is on the way already; never
    // before bytes whose packet has gone.
    auto pos = queue.end();
    if (!queue.empty() && queue.back().sentUs > startUs) {
        pos = std::upper_bound(queue.begin(), queue.end(), startUs,
                               [](std::uint64_t t, const Device::Incoming& in) { return t < in.sentUs; });
        pos = std::max(pos, queue.begin() + static_cast<std::ptrdiff_t>(FirstUnsent(device)));
    }
    // The UART carries one byte after the other.
    std::uint64_t byteUs = ByteUs(device);
    if (byteUs > 0 && pos != queue.begin()) startUs = std::max(startUs, std::prev(pos)->sentUs);
    std::vector<Device::Incoming> add;
    add.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
        add.push_back({startUs + (i + 1) * byteUs, Device::kNotYetSent, static_cast<std::uint8_t>(bytes[i])});
    queue.insert(pos, add.begin(), add.end());
}

std::uint64_t TxBytesPerSecond(const Device& device) {
    std::uint64_t perSecond = std::uint64_t{device.scenario.txDrainBytesPerMs} * 1000;
    std::uint64_t rate = device.scenario.lineRateBaud;
    return rate ? std::min(perSecond, rate / kBitsPerByte) : perSecond;
}

void CarryToDevice(Device& device) {
    if (ByteUs(device) == 0) return;
    std::uint64_t perSecond = TxBytesPerSecond(device);
    std::uint64_t waitUs = perSecond ? device.txBacklog * 1000000 / perSecond : UINT64_MAX / 4;
    device.toDeviceDoneUs = NowMs() * kUsPerMs + waitUs;
}

std::uint64_t ReceivedAt(const Device& device) {
    return std::max(NowMs(), ByteUs(device) > 0 ? CeilMs(device.toDeviceDoneUs) : 0);
}

}  // namespace sim
