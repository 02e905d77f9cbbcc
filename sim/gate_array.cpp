// The gate array: block requests in erase and programming mode.
//
// The device pulls the image block by block: it sends a request of six
// decimal characters (the 1-based position, "000001", "000033", ...) and
// takes the next 64 hex characters it receives as the answer. It asks for
// the next block a moment after each answer.
//
// Erase mode: asks for the first four blocks, falls silent, erases for
// ga_erase_ms and then sends its report. Programming mode: asks for every
// block in order and programs the answers, then asks for every block again
// and compares them with what it holds, then falls silent. The gate array is
// flash: programming only clears bits, so it takes effect as given only on
// an erased gate array. With ga_requests the programming mode sends
// that list instead of the passes; each request waits up to a second for
// its answer, so that odd requests the host ignores do not stall it.
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "protocol/limits.h"
#include "sim/device.h"

namespace sim {
namespace {

constexpr std::uint64_t kLatencyMs = kGateArrayLatencyMs;
constexpr std::uint64_t kListWaitMs = 1000;  // a listed request waits this long for its answer
constexpr std::uint32_t kEraseModeBlocks = 4;
constexpr std::uint32_t kBlockSize = kGateArrayBlockSize;
constexpr std::uint32_t kAnswerLength = 2 * kBlockSize;

// Blocks the passes cover: the image, as far as six digits can ask.
std::uint32_t PassBlocks(const GateArrayState& ga) {
    std::uint32_t reachable = (kLargestBlockRequest - 1) / kBlockSize + 1;
    std::uint32_t blocks = static_cast<std::uint32_t>((std::uint64_t{ga.length} + kBlockSize - 1) / kBlockSize);
    return blocks < reachable ? blocks : reachable;
}

// A fixed list (ga_requests) replaces the passes in programming mode.
bool ServingList(const Device& d) { return d.scenario.gaRequests && d.mode == Mode::GateArrayProgram; }

bool Stopped(const Device& d) { return d.scenario.gaStopAfter && d.gateArray.requestsSent >= *d.scenario.gaStopAfter; }

void ForgetVerification(GateArrayState& ga) {
    ga.verifyRan = false;
    ga.verifyMatched = true;
    ga.verifyMismatches = 0;
}

void StartErase(Device& d, std::uint64_t at) {
    auto& ga = d.gateArray;
    ga.image.assign(ga.length, 0xFF);
    ++ga.erases;
    ForgetVerification(ga);  // it no longer says anything about the contents
    if (d.scenario.gaReport) SendToHost(d, *d.scenario.gaReport, at + d.scenario.gaEraseMs);
}

// The next request of the passes, or the end of them.
void AskNext(Device& d, std::uint64_t at) {
    auto& ga = d.gateArray;
    if (Stopped(d)) return;
    bool erasing = d.mode == Mode::GateArrayErase;
    std::uint32_t blocks = PassBlocks(ga);
    if (erasing && blocks > kEraseModeBlocks) blocks = kEraseModeBlocks;
    if (ga.nextBlock == blocks) {
        if (erasing) {
            StartErase(d, at);
            return;
        }
        if (ga.verifying) {
            ga.verifyRan = true;
            ++ga.verifications;
            return;  // both passes done: silent
        }
        ++ga.programmingPasses;
        ga.verifying = true;
        ga.nextBlock = 0;
        if (blocks == 0) return;
    }
    std::uint32_t offset = ga.nextBlock++ * kBlockSize;
    char text[8];
    std::snprintf(text, sizeof text, "%06u", offset + 1);
    SendToHost(d, text, at);
    ++ga.requestsSent;
    ga.pendingRequest = offset;
}

// Withdraws what the device meant to send after now: requests of the fixed
// list that have not reached the host go back to the list.
void DropPlanned(Device& d) {
    std::uint64_t now = NowMs();
    auto& queue = d.toHost;
    while (!queue.empty() && queue.back().at > now) queue.pop_back();
    auto& ga = d.gateArray;
    while (!ga.listed.empty() && ga.listed.back().at > now) {
        ga.listed.pop_back();
        --ga.listCursor;
        --ga.requestsSent;
    }
}

// Starts the rest of the fixed list at `at`: each request follows the one
// before when that one is answered or has waited kListWaitMs. The requests
// are put on the way only as the host looks far enough ahead for them
// (GateArrayDue), so an answer withdraws a few at most.
void PlanList(Device& d, std::uint64_t at) {
    DropPlanned(d);
    d.gateArray.nextListedAt = at;
}

void Begin(Device& d) {
    auto& ga = d.gateArray;
    ga.answer.clear();
    ga.requestsSent = 0;
    ga.answersReceived = 0;
    ga.nextBlock = 0;
    ga.verifying = false;
    ga.pendingRequest = -1;
    ga.listed.clear();
    ga.listCursor = 0;
    ga.shortWriteNow = false;
    std::uint64_t first = NowMs() + kLatencyMs;
    if (ServingList(d))
        PlanList(d, first);
    else
        AskNext(d, first);
}

// The request an answer belongs to: with a list, the latest one the host
// has had by now (those planned later are at the back).
std::int64_t AnsweredOffset(const Device& d) {
    const auto& ga = d.gateArray;
    if (!ServingList(d)) return ga.pendingRequest;
    std::uint64_t now = NowMs();
    for (auto r = ga.listed.rbegin(); r != ga.listed.rend(); ++r)
        if (r->at <= now) return r->offset;
    return -1;
}

unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    return 0;
}

void TakeAnswer(Device& d) {
    auto& ga = d.gateArray;
    ++ga.answersReceived;
    if (d.scenario.gaShortWrite && ga.answersReceived == *d.scenario.gaShortWrite) ga.shortWriteNow = true;
    std::int64_t offset = AnsweredOffset(d);
    if (d.mode == Mode::GateArrayProgram && offset >= 0) {
        bool mismatch = false;
        for (std::uint32_t i = 0; i < kBlockSize; ++i) {
            std::uint64_t at = static_cast<std::uint64_t>(offset) + i;
            if (at >= ga.length) break;
            auto byte = static_cast<std::uint8_t>(HexValue(ga.answer[2 * i]) << 4 | HexValue(ga.answer[2 * i + 1]));
            if (!ga.verifying)
                ga.image[at] &= byte;  // flash: programming only clears bits
            else if (ga.image[at] != byte)
                mismatch = true;
        }
        if (mismatch) {
            ga.verifyMatched = false;
            ++ga.verifyMismatches;
        }
    }
    ga.answer.clear();
    ga.pendingRequest = -1;
    if (ServingList(d))
        PlanList(d, NowMs() + kLatencyMs);
    else
        AskNext(d, NowMs() + kLatencyMs);
}

}  // namespace

void GateArrayEraseBegin(Device& d) { Begin(d); }

void GateArrayProgramBegin(Device& d) {
    ForgetVerification(d.gateArray);
    Begin(d);
}

void GateArrayData(Device& d, std::uint8_t byte) {
    auto& ga = d.gateArray;
    ga.answer.push_back(static_cast<char>(byte));
    if (ga.answer.size() == kAnswerLength) TakeAnswer(d);
}

DWORD GateArrayBytesWritten(Device& d, DWORD count) {
    if (!d.gateArray.shortWriteNow) return count;
    d.gateArray.shortWriteNow = false;
    return count / 2;
}

void GateArrayDue(Device& d, std::uint64_t until) {
    if (!ServingList(d)) return;
    auto& ga = d.gateArray;
    const auto& list = *d.scenario.gaRequests;
    while (ga.listCursor < list.size() && ga.nextListedAt <= until && !Stopped(d)) {
        const std::string& text = list[ga.listCursor++];
        long n = std::strtol(text.c_str(), nullptr, 10);
        SendToHost(d, text, ga.nextListedAt);
        ga.listed.push_back({ga.nextListedAt, n >= 1 ? n - 1 : -1});
        ++ga.requestsSent;
        ga.nextListedAt += kListWaitMs;
    }
}

// A reset, or another mode: what the device meant to send later is not sent.
void GateArrayEnd(Device& d) {
    DropPlanned(d);
    auto& ga = d.gateArray;
    ga.answer.clear();
    ga.pendingRequest = -1;
    ga.listed.clear();
    ga.listCursor = d.scenario.gaRequests ? d.scenario.gaRequests->size() : 0;
}

}  // namespace sim
