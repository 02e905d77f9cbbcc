// The gate array: block requests in erase and programming mode.
//
// The device pulls the image block by block: it sends a request of six
// decimal characters (the 1-based position, "000001", "000033", ...) and
// takes the next 64 hex characters it receives as the answer. It asks for
// the next block a moment after each answer.
//
// Erase mode: asks for the first four blocks, falls silent, erases for
// ga_erase_ms and then sends its report; a reset before then cuts the erase
// short. Programming mode: asks for every
// block in order and programs the answers, then asks for every block again
// and compares them with what it holds, then falls silent. The gate array is
// flash: programming only clears bits, so it takes effect as given only on
// an erased gate array. With ga_requests the programming mode sends
// that list instead of the passes; each request waits up to a second for
// its answer, so that odd requests the host ignores do not stall it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"
#include "protocol/limits.h"
#include "sim/device.h"
#include "sim/hex_text.h"

namespace sim {
namespace {

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

// The erase takes ga_erase_ms, and its report follows at its end.
void StartErase(Device& d, std::uint64_t at) {
    auto& ga = d.gateArray;
    ga.erasing = true;
    ga.eraseEndsAt = at + d.scenario.gaEraseMs;
    ForgetVerification(ga);  // it no longer says anything about the contents
    if (d.scenario.gaReport) SendToHost(d, *d.scenario.gaReport, ga.eraseEndsAt);
}

// An erase whose time is up has set every byte to 0xFF.
void FinishEraseIfDone(GateArrayState& ga) {
    if (!ga.erasing || NowMs() < ga.eraseEndsAt) return;
    ga.erasing = false;
    ga.image.assign(ga.length, 0xFF);
    ++ga.erases;
}

// The next request of the passes, or the end of them. A pass whose last
// block has been answered has reached its end, even when the device then
// stops (ga_stop_after).
void AskNext(Device& d, std::uint64_t at) {
    auto& ga = d.gateArray;
    bool erasing = d.mode == Mode::GateArrayErase;
    std::uint32_t blocks = PassBlocks(ga);
    if (erasing && blocks > kEraseModeBlocks) blocks = kEraseModeBlocks;
    bool passEnded = ga.nextBlock == blocks;
    if (passEnded && !erasing) {
        if (ga.verifying) {
            ga.verifyRan = true;
            ++ga.verifications;
            return;  // both passes done: silent
        }
        ++ga.programmingPasses;
        ga.verifying = true;
        ga.nextBlock = 0;
    }
    if (Stopped(d)) return;
    if (passEnded && erasing) {
        StartErase(d, at);
        return;
    }
    if (ga.nextBlock == blocks) return;  // no block to ask for at all
    std::uint32_t offset = ga.nextBlock++ * kBlockSize;
    std::string text(6, '0');  // the position in six decimal digits
    for (std::uint32_t rest = offset + 1, i = 6; rest > 0 && i > 0; rest /= 10)
        text[--i] = static_cast<char>('0' + rest % 10);
    SendToHost(d, text, at);
    ++ga.requestsSent;
    ga.pendingRequest = offset;
}

// Withdraws what the device meant to send after now: requests of the fixed
// list that it has not sent go back to the list.
void DropPlanned(Device& d) {
    std::uint64_t now = NowMs();
    auto& queue = d.toHost;
    while (!queue.empty() && queue.back().sentUs > now * 1000) queue.pop_back();
    auto& ga = d.gateArray;
    while (!ga.listed.empty() && ga.listed.back().sent > now) {
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
    std::uint64_t first = ReceivedAt(d) + d.scenario.gaRequestDelayMs;
    if (ServingList(d))
        PlanList(d, first);
    else
        AskNext(d, first);
}

// The request an answer belongs to: with a list, the latest one whose
// first byte the host has had by now (those planned later are at the back).
std::int64_t AnsweredOffset(const Device& d) {
    const auto& ga = d.gateArray;
    if (!ServingList(d)) return ga.pendingRequest;
    for (auto r = ga.listed.rbegin(); r != ga.listed.rend(); ++r)
        if (r->sent * 1000 < d.deliveredSentUs) return r->offset;
    return -1;
}

void TakeAnswer(Device& d) {
    auto& ga = d.gateArray;
    ++ga.answersReceived;
    if (d.scenario.gaShortWrite && ga.answersReceived == *d.scenario.gaShortWrite) ga.shortWriteNow = true;
    std::int64_t offset = AnsweredOffset(d);
    if (d.mode == Mode::GateArrayProgram && offset >= 0) {
        const auto* text = reinterpret_cast<const unsigned char*>(ga.answer.data());
        const std::int8_t* digit = kHexDigitValues.data();
        std::uint8_t* held = ga.image.data() + offset;
        std::uint64_t bytes =
            std::min<std::uint64_t>(kBlockSize, ga.length - std::min<std::uint64_t>(offset, ga.length));
        bool mismatch = false;
        for (std::uint64_t i = 0; i < bytes; ++i) {
            // A character that is no digit counts as 0.
            int high = digit[text[2 * i]], low = digit[text[2 * i + 1]];
            auto byte = static_cast<std::uint8_t>((high < 0 ? 0 : high) << 4 | (low < 0 ? 0 : low));
            if (!ga.verifying)
                held[i] &= byte;  // flash: programming only clears bits
            else if (held[i] != byte)
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
        PlanList(d, ReceivedAt(d) + d.scenario.gaRequestDelayMs);
    else
        AskNext(d, ReceivedAt(d) + d.scenario.gaRequestDelayMs);
}

}  // namespace

void GateArrayEraseBegin(Device& d) { Begin(d); }

void GateArrayProgramBegin(Device& d) {
    ForgetVerification(d.gateArray);
    Begin(d);
}

void GateArrayData(Device& d, const std::uint8_t* bytes, std::size_t count) {
    auto& ga = d.gateArray;
    while (count > 0) {
        std::size_t take = std::min<std::size_t>(count, kAnswerLength - ga.answer.size());
        ga.answer.append(reinterpret_cast<const char*>(bytes), take);
        bytes += take;
        count -= take;
        if (ga.answer.size() == kAnswerLength) TakeAnswer(d);
    }
}

DWORD GateArrayBytesWritten(Device& d, DWORD count) {
    if (!d.gateArray.shortWriteNow) return count;
    d.gateArray.shortWriteNow = false;
    return count / 2;
}

void GateArrayDue(Device& d, std::uint64_t until) {
    FinishEraseIfDone(d.gateArray);
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

// A reset, or another mode: what the device meant to send later is not
// sent, and an erase still running is cut short, the gate array left as it
// was.
void GateArrayEnd(Device& d) {
    DropPlanned(d);
    auto& ga = d.gateArray;
    FinishEraseIfDone(ga);
    if (ga.erasing) {
        ga.erasing = false;
        ++ga.erasesCutShort;
    }
    ga.answer.clear();
    ga.pendingRequest = -1;
    ga.listed.clear();
    ga.listCursor = d.scenario.gaRequests ? d.scenario.gaRequests->size() : 0;
}

}  // namespace sim
