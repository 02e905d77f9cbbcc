#include "sim/replay.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "protocol/status.h"

namespace sim {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// What every call of a replay that has diverged returns, the close aside.
constexpr FT_STATUS kDivergedStatus = FT_IO_ERROR;
// The recorded calls the report shows before the one that diverged.
constexpr std::size_t kCallsBefore = 5;
// The driver whose writes return only when the chip has taken the bytes.
constexpr char kBlockingWritesDriver[] = "libftdi";

// The two kinds of poll, each answered from its own recorded polls.
int PollKind(D2xxCall call) { return call == D2xxCall::GetQueueStatus ? 0 : 1; }
unsigned PollBit(D2xxCall call) { return 1u << PollKind(call); }

struct Divergence {
    std::size_t at = 0;      // the recorded call it stands at; calls.size(): after the last
    std::string recorded;    // what the recording holds there
    std::string program;     // what the program did
    std::string difference;  // how the two differ
};

// The replay's whole state, used by the update worker alone.
struct Replay {
    RecordedTrace trace;
    std::string name;

    // Where the program stands in the recording: the calls from `next` up
    // to `matchedAt` are polls, answered by time; `matchedAt` is the next
    // call to match one to one (calls.size(): the recording has no more).
    std::size_t next = 0;
    std::size_t matchedAt = 0;
    unsigned pollsRecorded = 0;                 // kinds among those polls
    unsigned pollsMade = 0;                     // kinds the program has polled since
    std::size_t firstPoll[2] = {kNone, kNone};  // of each kind among them
    std::size_t lastPoll[2] = {kNone, kNone};   // the latest of each kind by the time reached
    std::size_t pollsPassed = 0;                // the polls up to here are before that time

    // Time: the program's clock and the recording's at the last matched
    // call, from which the time of a poll is taken and the next call's
    // pause measured.
    bool started = false;
    std::uint64_t programAt = 0;
    std::uint64_t recordedAt = 0;
    // How late the device may have been with the last call's answer (a
    // read that got all it asked for, a write), made up at the next call.
    std::uint64_t lateness = 0;
    DWORD readTimeout = 0;   // of the open connection
    DWORD writeTimeout = 0;  // of the open connection, 0: none

    std::uint64_t callsAnswered = 0;
    // Calls a recording of an earlier format cannot hold, answered outside it.
    std::uint64_t callsBeyond = 0;
    bool diverged = false;
    Divergence divergence;
};

Replay g_replay;
int g_handle = 0;  // what an open returns as the device's handle

const std::vector<RecordedCall>& Calls() { return g_replay.trace.calls; }

// The polls ahead of the next call to match, from `next` on.
void OpenWindow() {
    Replay& r = g_replay;
    r.pollsRecorded = 0;
    r.pollsMade = 0;
    for (int k = 0; k < 2; ++k) r.firstPoll[k] = r.lastPoll[k] = kNone;
    r.pollsPassed = r.next;
    std::size_t i = r.next;
    for (; i < Calls().size() && IsPolling(Calls()[i].call); ++i) {
        unsigned bit = PollBit(Calls()[i].call);
        if (!(r.pollsRecorded & bit)) r.firstPoll[PollKind(Calls()[i].call)] = i;
        r.pollsRecorded |= bit;
    }
    r.matchedAt = i;
}

std::string Recorded(std::size_t at) {
    if (at >= Calls().size())
        return "(the recording ends here, after its " + std::to_string(Calls().size()) + " calls)";
    return std::to_string(Calls()[at].ms) + " " + DescribeCall(Calls()[at], true);
}

void Diverge(std::size_t at, std::string recorded, std::string program, std::string difference) {
    Replay& r = g_replay;
    r.diverged = true;
    r.divergence = {at, std::move(recorded), std::move(program), std::move(difference)};
    // The run stops at its next device call or pause, as after a failure
    // of the device, and closes the connection.
    RequestStop(REPLAY_DIVERGED);
}

// Whether the replay still answers; the first call fixes where the
// recording and the program's clock begin.
bool Answering() {
    Replay& r = g_replay;
    if (r.diverged) return false;
    if (!r.started) {
        r.started = true;
        r.programAt = NowMs();
        r.recordedAt = Calls().empty() ? 0 : Calls().front().ms;
    }
    return true;
}

std::uint64_t Share(std::uint64_t recordedMs) { return recordedMs * kReplayTolerancePercent / 100; }
std::uint64_t LateAllowed(std::uint64_t recordedMs) { return std::max(kReplayLateMs, Share(recordedMs)); }
std::uint64_t EarlyAllowed(std::uint64_t recordedMs) { return std::max(kReplayEarlyMs, Share(recordedMs)); }

// The program's clock now, on the recording's: the time since the last
// matched call added to that call's recorded time.
std::uint64_t RecordingNow() {
    std::uint64_t now = NowMs();
    return g_replay.recordedAt + (now > g_replay.programAt ? now - g_replay.programAt : 0);
}

// The recorded poll that answers a poll of the program, or null after a
// divergence.
const RecordedCall* Poll(D2xxCall call) {
    if (!Answering()) return nullptr;
    Replay& r = g_replay;
    RecordedCall made;
    made.call = call;
    if (!(r.pollsRecorded & PollBit(call))) {
        Diverge(r.matchedAt, Recorded(r.matchedAt), DescribeCall(made, false), "another call");
        return nullptr;
    }
    // A wait that goes on after the recording's had ended.
    std::uint64_t now = RecordingNow();
    std::size_t bound = r.matchedAt < Calls().size() ? r.matchedAt : Calls().size() - 1;
    std::uint64_t boundMs = Calls()[bound].ms;
    if (now > boundMs + LateAllowed(boundMs - r.recordedAt)) {
        Diverge(bound, Recorded(bound), DescribeCall(made, false),
                "the program still polls " + std::to_string(now - boundMs) +
                    " ms after the recording made this call; at most " +
                    std::to_string(LateAllowed(boundMs - r.recordedAt)) + " ms later is allowed");
        return nullptr;
    }
    for (; r.pollsPassed < r.matchedAt && Calls()[r.pollsPassed].ms <= now; ++r.pollsPassed)
        r.lastPoll[PollKind(Calls()[r.pollsPassed].call)] = r.pollsPassed;
    int kind = PollKind(call);
    r.pollsMade |= PollBit(call);
    ++r.callsAnswered;
    return &Calls()[r.lastPoll[kind] != kNone ? r.lastPoll[kind] : r.firstPoll[kind]];
}

std::string Hex2(unsigned char byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

// How the program's bytes differ from the recorded ones; empty if not.
std::string BytesDiffer(const std::string& recorded, const std::string& made) {
    std::size_t common = std::min(recorded.size(), made.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (recorded[i] == made[i]) continue;
        std::string text = "byte " + std::to_string(i + 1) + " of " + std::to_string(recorded.size()) + ": recorded " +
                           Hex2(static_cast<unsigned char>(recorded[i])) + ", the program " +
                           Hex2(static_cast<unsigned char>(made[i]));
        if (recorded.size() != made.size())
            text += "; and the program writes " + std::to_string(made.size()) + " bytes";
        return text;
    }
    if (recorded.size() == made.size()) return "";
    return "the program writes " + std::to_string(made.size()) + " bytes where the recording has " +
           std::to_string(recorded.size());
}

std::string Differs(const char* what, const std::string& recorded, const std::string& made) {
    return std::string(what) + ": recorded " + recorded + ", the program " + made;
}
std::string Differs(const char* what, DWORD recorded, DWORD made) {
    return Differs(what, std::to_string(recorded), std::to_string(made));
}

const char* NamingWord(Naming naming) {
    switch (naming) {
        case Naming::Serial:
            return "serial";
        case Naming::Description:
            return "description";
        case Naming::Location:
            return "location";
        default:
            return "none";
    }
}

// How the program's call differs from the recorded one; empty if not.
std::string CallDiffers(const RecordedCall& rec, const RecordedCall& made) {
    if (rec.call != made.call) return "another call";
    switch (rec.call) {
        case D2xxCall::ListDevices:
            if (rec.listing != made.listing) return "another form of the listing";
            if (rec.listing == Listing::ByIndex && rec.argument != made.argument)
                return Differs("the index", rec.argument, made.argument);
            if (rec.listing == Listing::ByIndex && rec.naming != made.naming)
                return Differs("the naming", NamingWord(rec.naming), NamingWord(made.naming));
            if (rec.listing == Listing::OtherFlags && rec.argument != made.argument)
                return Differs("the flags", rec.argument, made.argument);
            return "";
        case D2xxCall::OpenEx:
            if (rec.naming != made.naming)
                return Differs("the naming", NamingWord(rec.naming), NamingWord(made.naming));
            if (rec.naming == Naming::None && rec.argument != made.argument)
                return Differs("the flags", rec.argument, made.argument);
            if (rec.naming == Naming::Location && rec.argument != made.argument)
                return Differs("the location", rec.argument, made.argument);
            if (rec.sent != made.sent) return Differs("the name", "\"" + rec.sent + "\"", "\"" + made.sent + "\"");
            return "";
        case D2xxCall::Read:
            return rec.argument != made.argument ? Differs("the count asked", rec.argument, made.argument) : "";
        case D2xxCall::Write:
            return BytesDiffer(rec.sent, made.sent);
        case D2xxCall::Purge:
            return rec.argument != made.argument ? Differs("the mask", rec.argument, made.argument) : "";
        case D2xxCall::SetTimeouts:
            if (rec.argument != made.argument) return Differs("the read time-out", rec.argument, made.argument);
            if (rec.writeTimeout != made.writeTimeout)
                return Differs("the write time-out", rec.writeTimeout, made.writeTimeout);
            return "";
        case D2xxCall::SetLatencyTimer:
            return rec.argument != made.argument ? Differs("the latency timer", rec.argument, made.argument) : "";
        default:
            return "";
    }
}

// The recorded call that answers a call of the program matched one to one,
// or null after a divergence.
const RecordedCall* Match(const RecordedCall& made) {
    if (!Answering()) return nullptr;
    Replay& r = g_replay;
    if (r.matchedAt >= Calls().size()) {
        Diverge(Calls().size(), Recorded(Calls().size()), DescribeCall(made, false),
                "a call after the recording's last");
        return nullptr;
    }
    const RecordedCall& rec = Calls()[r.matchedAt];
    if (std::string difference = CallDiffers(rec, made); !difference.empty()) {
        Diverge(r.matchedAt, Recorded(r.matchedAt), DescribeCall(made, false), difference);
        return nullptr;
    }
    // A wait whose recording polled must poll too.
    if (unsigned missing = r.pollsRecorded & ~r.pollsMade; missing != 0) {
        std::size_t poll = r.firstPoll[missing & 1u ? 0 : 1];
        Diverge(poll, Recorded(poll), DescribeCall(made, false),
                std::string("the recording polls ") + D2xxCallName(Calls()[poll].call) + " before " +
                    D2xxCallName(rec.call) + "; the program does not");
        return nullptr;
    }

    // The pause since the last matched call, a device's lateness made up.
    std::uint64_t now = NowMs();
    std::uint64_t programMs = now > r.programAt ? now - r.programAt : 0;
    std::uint64_t recordedMs = rec.ms - r.recordedAt;
    std::uint64_t madeUp = recordedMs > programMs ? std::min(recordedMs - programMs, r.lateness) : 0;
    std::uint64_t programTotal = programMs + madeUp;
    bool late = programTotal > recordedMs + LateAllowed(recordedMs);
    bool early = programTotal + EarlyAllowed(recordedMs) < recordedMs;
    if (late || early) {
        std::uint64_t off = late ? programTotal - recordedMs : recordedMs - programTotal;
        Diverge(r.matchedAt, Recorded(r.matchedAt) + ", " + std::to_string(recordedMs) + " ms after the call before",
                DescribeCall(made, false) + ", " + std::to_string(programTotal) + " ms after the call before",
                "a pause " + std::to_string(off) + " ms " + (late ? "longer" : "shorter") + " than recorded; at most " +
                    std::to_string(late ? LateAllowed(recordedMs) : EarlyAllowed(recordedMs)) + " ms is allowed");
        return nullptr;
    }
    if (madeUp > 0) SleepUntilMs(now + madeUp);

    r.programAt = now + madeUp;
    r.recordedAt = rec.ms;
    r.lateness = 0;
    r.next = r.matchedAt + 1;
    OpenWindow();
    ++r.callsAnswered;
    return &rec;
}

// The time from a recorded call to the recording's next one: the longest
// it can have lasted.
std::uint64_t UntilNextCall(const RecordedCall& rec) {
    std::size_t at = static_cast<std::size_t>(&rec - Calls().data());
    return at + 1 < Calls().size() ? Calls()[at + 1].ms - rec.ms : 0;
}

Naming NamingOf(DWORD flags) {
    switch (D2xxNaming(flags)) {
        case FT_OPEN_BY_SERIAL_NUMBER:
            return Naming::Serial;
        case FT_OPEN_BY_DESCRIPTION:
            return Naming::Description;
        case FT_OPEN_BY_LOCATION:
            return Naming::Location;
        default:
            return Naming::None;
    }
}

RecordedCall Made(D2xxCall call) {
    RecordedCall made;
    made.call = call;
    return made;
}

FT_STATUS WINAPI ReplayListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) {
    RecordedCall made = Made(D2xxCall::ListDevices);
    if (Flags & FT_LIST_NUMBER_ONLY) {
        made.listing = Listing::Count;
    } else if ((Flags & FT_LIST_BY_INDEX) && !(Flags & FT_LIST_ALL) && NamingOf(Flags) != Naming::None) {
        made.listing = Listing::ByIndex;
        made.argument = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
        made.naming = NamingOf(Flags);
    } else {
        made.listing = Listing::OtherFlags;
        made.argument = Flags;
    }
    const RecordedCall* rec = Match(made);
    if (made.listing == Listing::Count && pArg1) *static_cast<DWORD*>(pArg1) = rec ? rec->results[0] : 0;
    if (!rec) return kDivergedStatus;
    if (made.listing == Listing::ByIndex && made.naming == Naming::Location && rec->status == FT_OK && pArg2) {
        *static_cast<DWORD*>(pArg2) = rec->results[0];
    } else if (made.listing == Listing::ByIndex && rec->status == FT_OK && pArg2) {
        // As the driver fills its 64 bytes: terminated when there is room.
        char* out = static_cast<char*>(pArg2);
        std::size_t n = std::min<std::size_t>(rec->got.size(), FT_DESCRIPTION_SIZE);
        std::memcpy(out, rec->got.data(), n);
        if (n < FT_DESCRIPTION_SIZE) out[n] = '\0';
    }
    return rec->status;
}

FT_STATUS WINAPI ReplayOpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    RecordedCall made = Made(D2xxCall::OpenEx);
    made.naming = D2xxNaming(Flags) == Flags ? NamingOf(Flags) : Naming::None;
    if (made.naming == Naming::None)
        made.argument = Flags;
    else if (made.naming == Naming::Location)
        made.argument = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
    else if (pArg1)
        made.sent =
            std::string(static_cast<const char*>(pArg1), strnlen(static_cast<const char*>(pArg1), FT_DESCRIPTION_SIZE));
    const RecordedCall* rec = Match(made);
    if (!rec) return kDivergedStatus;
    if (rec->status == FT_OK) {
        if (pHandle) *pHandle = &g_handle;
        g_replay.readTimeout = g_replay.writeTimeout = 0;
    }
    return rec->status;
}

FT_STATUS WINAPI ReplayClose(FT_HANDLE) {
    // After a divergence the connection still closes.
    if (g_replay.diverged) return FT_OK;
    const RecordedCall* rec = Match(Made(D2xxCall::Close));
    return rec ? rec->status : kDivergedStatus;
}

FT_STATUS WINAPI ReplayRead(FT_HANDLE, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
    if (lpBytesReturned) *lpBytesReturned = 0;
    RecordedCall made = Made(D2xxCall::Read);
    made.argument = dwBytesToRead;
    const RecordedCall* rec = Match(made);
    if (!rec) return kDivergedStatus;
    // A read that got less than it asked for ended at its time-out; one
    // that got all of it, when its last byte came, some time before the
    // recording's next call: its lateness is made up at the next call.
    std::uint64_t untilNext = UntilNextCall(*rec);
    bool timedOut = rec->status == FT_OK && rec->got.size() < rec->argument && g_replay.readTimeout > 0;
    if (timedOut)
        SleepUntilMs(g_replay.programAt + std::min<std::uint64_t>(g_replay.readTimeout, untilNext));
    else
        g_replay.lateness =
            g_replay.readTimeout > 0 ? std::min<std::uint64_t>(g_replay.readTimeout, untilNext) : untilNext;
    if (lpBuffer && !rec->got.empty()) std::memcpy(lpBuffer, rec->got.data(), rec->got.size());
    if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(rec->got.size());
    return rec->status;
}

FT_STATUS WINAPI ReplayWrite(FT_HANDLE, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
    if (lpBytesWritten) *lpBytesWritten = 0;
    RecordedCall made = Made(D2xxCall::Write);
    if (lpBuffer) made.sent.assign(static_cast<const char*>(lpBuffer), dwBytesToWrite);
    const RecordedCall* rec = Match(made);
    if (!rec) return kDivergedStatus;
    // A write returns when the driver has taken the bytes: at once into the
    // vendor driver's queue, but with libftdi1 only once the chip has taken
    // them, which over a slow or stalled link is up to the write time-out
    // later. That lateness is made up at the next call.
    if (g_replay.trace.driver == kBlockingWritesDriver) {
        std::uint64_t untilNext = UntilNextCall(*rec);
        g_replay.lateness =
            g_replay.writeTimeout > 0 ? std::min<std::uint64_t>(g_replay.writeTimeout, untilNext) : untilNext;
    }
    if (lpBytesWritten) *lpBytesWritten = rec->results[0];
    return rec->status;
}

FT_STATUS WINAPI ReplayPurge(FT_HANDLE, ULONG Mask) {
    RecordedCall made = Made(D2xxCall::Purge);
    made.argument = Mask;
    const RecordedCall* rec = Match(made);
    return rec ? rec->status : kDivergedStatus;
}

FT_STATUS WINAPI ReplaySetTimeouts(FT_HANDLE, ULONG ReadTimeout, ULONG WriteTimeout) {
    RecordedCall made = Made(D2xxCall::SetTimeouts);
    made.argument = ReadTimeout;
    made.writeTimeout = WriteTimeout;
    const RecordedCall* rec = Match(made);
    if (!rec) return kDivergedStatus;
    if (rec->status == FT_OK) {
        g_replay.readTimeout = ReadTimeout;
        g_replay.writeTimeout = WriteTimeout;
    }
    return rec->status;
}

FT_STATUS WINAPI ReplayGetQueueStatus(FT_HANDLE, DWORD* dwRxBytes) {
    const RecordedCall* rec = Poll(D2xxCall::GetQueueStatus);
    // A poll of the other kind answers with what it saw received.
    if (dwRxBytes) *dwRxBytes = rec ? rec->results[0] : 0;
    return rec ? rec->status : kDivergedStatus;
}

FT_STATUS WINAPI ReplayGetStatus(FT_HANDLE, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord) {
    const RecordedCall* rec = Poll(D2xxCall::GetStatus);
    if (dwRxBytes) *dwRxBytes = rec ? rec->results[0] : 0;
    if (dwTxBytes) *dwTxBytes = rec ? rec->results[1] : 0;
    if (dwEventDWord) *dwEventDWord = rec ? rec->results[2] : 0;
    return rec ? rec->status : kDivergedStatus;
}

// A recording of a format before 4 comes from a program that never set the
// latency timer: the program's settings are answered as done, outside the
// recording, and the chip ran at its default, as the program then asks.
FT_STATUS WINAPI ReplaySetLatencyTimer(FT_HANDLE, UCHAR ucTimer) {
    if (g_replay.trace.formatVersion < 4) {
        if (!Answering()) return kDivergedStatus;
        ++g_replay.callsBeyond;
        return FT_OK;
    }
    RecordedCall made = Made(D2xxCall::SetLatencyTimer);
    made.argument = ucTimer;
    const RecordedCall* rec = Match(made);
    return rec ? rec->status : kDivergedStatus;
}

const D2xxOps kReplay = {"replay",
#define REPLAY_ENTRY(call, params, args) Replay##call,
                         D2XX_CALLS(REPLAY_ENTRY)
#undef REPLAY_ENTRY
};

}  // namespace

void StartReplay(RecordedTrace trace, const std::string& name) {
    g_replay = Replay{};
    g_replay.trace = std::move(trace);
    g_replay.name = name;
    OpenWindow();
}

const D2xxOps* ReplayD2xx() { return &kReplay; }

std::string ReplayImageMismatch(const RecordedTrace& trace, const std::string& imagesNow) {
    std::vector<RecordedImage> now;
    std::string error;
    if (!ReadImageFields(imagesNow, now, error)) return error + "\n";
    std::string lines;
    for (const RecordedImage& recorded : trace.images) {
        const RecordedImage* here = nullptr;
        for (const RecordedImage& image : now)
            if (image.name == recorded.name) here = &image;
        if (here && here->size == recorded.size && here->sha256 == recorded.sha256) continue;
        auto describe = [](const RecordedImage* image) {
            if (!image || image->size == "-") return std::string("none that can be read");
            return image->size + " bytes, SHA-256 " + image->sha256;
        };
        lines += recorded.name + ": the recorded run's has " + describe(&recorded) + "; this folder's has " +
                 describe(here) + "\n";
    }
    return lines;
}

void FinishReplay() {
    Replay& r = g_replay;
    if (r.diverged) return;
    if (r.matchedAt < Calls().size()) {
        Diverge(r.matchedAt, Recorded(r.matchedAt), "(the run ended)", "the recording goes on");
    } else if (unsigned missing = r.pollsRecorded & ~r.pollsMade; missing != 0) {
        std::size_t poll = r.firstPoll[missing & 1u ? 0 : 1];
        Diverge(poll, Recorded(poll), "(the run ended)", "the recording goes on polling");
    }
}

bool ReplayDiverged() { return g_replay.diverged; }

std::string ReplayReport() {
    const Replay& r = g_replay;
    if (!r.diverged) return "";
    const Divergence& d = r.divergence;
    std::size_t total = Calls().size();
    std::string where;
    if (d.at < total) {
        std::uint64_t into = Calls()[d.at].ms - Calls().front().ms;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(into) / 1000.0);
        where = "at call " + std::to_string(d.at + 1) + " of " + std::to_string(total) + " (line " +
                std::to_string(Calls()[d.at].line) + " of the trace), " + seconds + " s into the recording";
    } else {
        where = "after the last of its " + std::to_string(total) + " calls";
    }
    std::string report = "qvm7316-update: the replay of " + r.name + " diverged " + where + ":\n";
    report += "  recorded:     " + d.recorded + "\n";
    report += "  the program:  " + d.program + "\n";
    report += "  difference:   " + d.difference + "\n";
    std::size_t from = d.at > kCallsBefore ? d.at - kCallsBefore : 0;
    if (from < std::min(d.at, total)) report += "  the recorded calls before it:\n";
    for (std::size_t i = from; i < std::min(d.at, total); ++i)
        report += "    call " + std::to_string(i + 1) + " (line " + std::to_string(Calls()[i].line) +
                  "): " + Recorded(i) + "\n";
    return report;
}

std::string ReplaySummary() {
    std::string summary = "qvm7316-update: " + g_replay.name +
                          " replayed to its end without divergence: " + std::to_string(Calls().size()) +
                          " calls recorded, " + std::to_string(g_replay.callsAnswered) + " made";
    if (g_replay.callsBeyond > 0)
        summary += ", and " + std::to_string(g_replay.callsBeyond) + " FT_SetLatencyTimer calls that a format " +
                   std::to_string(g_replay.trace.formatVersion) + " trace does not record";
    return summary;
}

}  // namespace sim
