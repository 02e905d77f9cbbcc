#include "platform/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace {

// One lock for the log: the update worker writes it, and the handler of a
// closing console window or of a Ctrl+C may add a line from another thread.
std::mutex g_mutex;

// Where the log goes: a test's buffer, or standard output when null.
std::string* g_buffer = nullptr;

// The run log file, and what it has been given of the current line: the
// text since the last line end, and the last state of a progress line
// ended by "\r" that nothing has overwritten yet.
std::FILE* g_runLog = nullptr;
std::string g_runLogPath;
bool g_runLogFailed = false;
std::string g_current;
std::string g_overwritten;
std::string g_lastLine;

// The writer thread and what it shares with the callers of Log, under
// g_mutex: the text that waits to be shown, whether the writer is in the
// middle of writing (outside the lock), and the lines left out while too
// much waited.
struct Writer {
    std::thread thread;
    bool running = false;
    bool stopping = false;
    std::FILE* out = stdout;
    std::chrono::milliseconds stalledAfter{kLogStalledMs};
    std::condition_variable wake;
    std::condition_variable room;  // the writer has taken what waited
    std::string waiting;
    bool writing = false;
    std::chrono::steady_clock::time_point writeBegan;
    bool shownEndsLine = true;  // what was handed on ends at a line's end
    bool leavingOut = false;
    std::uint64_t linesLeftOut = 0;
    bool leftOutEndsLine = true;  // what was left out ends at a line's end
};
// Never destroyed, so that a program that ends without StopLogWriter does
// not wait for a console.
Writer& g_writer = *new Writer;

void RunLogFailed(int error) {
    if (g_runLogFailed) return;
    g_runLogFailed = true;
    std::fprintf(stderr, "qvm7316-update: cannot write the run log %s: %s; the update goes on without it\n",
                 g_runLogPath.c_str(), std::strerror(error ? error : EIO));
}

void WriteRunLogLine(const std::string& line) {
    if (!g_runLog || g_runLogFailed) return;
    errno = 0;
    if (std::fputs(line.c_str(), g_runLog) < 0 || std::fputc('\n', g_runLog) == EOF || std::fflush(g_runLog) != 0)
        RunLogFailed(errno);
}

// A line is whole: the file gets its text, or, when it was only "\r"
// lines, the last of them.
void EndLine() {
    g_lastLine = g_current.empty() ? g_overwritten : g_current;
    WriteRunLogLine(g_lastLine);
    g_current.clear();
    g_overwritten.clear();
}

void Follow(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\n') {
            EndLine();
        } else if (c == '\r') {
            if (!g_current.empty()) g_overwritten.swap(g_current);
            g_current.clear();
        } else {
            g_current += c;
        }
    }
}

// The line about the lines left out, on a line of its own.
std::string LeftOutNote(const Writer& w) {
    std::string note(w.shownEndsLine ? 0 : 1, '\n');
    note += LinesLeftOutNote(w.linesLeftOut);
    return note;
}

// Once the console has taken all that waited, it hears what it missed, on
// a line of its own, before the next whole line. With g_mutex held.
void ResumeIfCaughtUp(Writer& w) {
    if (!w.leavingOut || w.writing || !w.waiting.empty() || !w.leftOutEndsLine) return;
    w.waiting = LeftOutNote(w);
    w.shownEndsLine = true;
    w.leavingOut = false;
    w.linesLeftOut = 0;
    w.wake.notify_one();
}

// Whether `length` more bytes may wait for the writer now; when not, waits
// for room as long as the console is taking output. With g_mutex held.
bool RoomFor(std::size_t length, std::unique_lock<std::mutex>& lock) {
    Writer& w = g_writer;
    for (;;) {
        if (w.waiting.empty() || w.waiting.size() + length <= kLogBacklogBytes) return true;
        // The writer is about to take what waits.
        if (!w.writing) {
            w.room.wait(lock);
            continue;
        }
        auto stuckFrom = w.writeBegan + w.stalledAfter;
        if (std::chrono::steady_clock::now() >= stuckFrom) return false;
        w.room.wait_until(lock, stuckFrom);
    }
}

// Hands text to the writer thread, or leaves it out while the console
// takes no output. With g_mutex held.
void HandToWriter(const char* text, std::size_t length, std::unique_lock<std::mutex>& lock) {
    Writer& w = g_writer;
    if (length == 0) return;
    ResumeIfCaughtUp(w);
    if (!w.leavingOut && RoomFor(length, lock)) {
        w.waiting.append(text, length);
        w.shownEndsLine = text[length - 1] == '\n';
        w.wake.notify_one();
        return;
    }
    w.leavingOut = true;
    w.linesLeftOut += static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
    w.leftOutEndsLine = text[length - 1] == '\n';
}

// Standard output's part of the log, with g_mutex held.
void Show(const char* text, std::size_t length, std::unique_lock<std::mutex>& lock) {
    if (g_buffer) {
        g_buffer->append(text, length);
    } else if (g_writer.running) {
        HandToWriter(text, length, lock);
    } else {
        // A closed standard output (a reader that has gone) is no reason to
        // stop: the run log file keeps the record.
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }
}

void WriteLocked(const char* text, std::size_t length, std::unique_lock<std::mutex>& lock) {
    Show(text, length, lock);
    Follow(text, length);
}

void Write(const char* text, std::size_t length) {
    std::unique_lock<std::mutex> lock(g_mutex);
    WriteLocked(text, length, lock);
}

bool MidLine() { return !g_current.empty() || !g_overwritten.empty(); }

// The writer thread: shows what waits, piece by piece, outside the lock.
// A console that is gone (a terminal hung up, a reader that has left) makes
// the writes fail: what they held is dropped, and the next piece is tried.
void WriterThread() {
    Writer& w = g_writer;
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        w.wake.wait(lock, [&w] { return !w.waiting.empty() || w.stopping; });
        if (w.waiting.empty()) break;
        std::string piece;
        piece.swap(w.waiting);
        w.writing = true;
        w.writeBegan = std::chrono::steady_clock::now();
        w.room.notify_all();
        lock.unlock();
        std::fwrite(piece.data(), 1, piece.size(), w.out);
        std::fflush(w.out);
        std::clearerr(w.out);
        lock.lock();
        w.writing = false;
        ResumeIfCaughtUp(w);
        w.room.notify_all();
    }
}

}  // namespace

void Log(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof text) {
        Write(text, static_cast<std::size_t>(n));
        return;
    }
    // Longer than the usual line (a line of the line buffer, say): format again.
    std::vector<char> longer(static_cast<std::size_t>(n) + 1);
    va_start(args, format);
    std::vsnprintf(longer.data(), longer.size(), format, args);
    va_end(args);
    Write(longer.data(), static_cast<std::size_t>(n));
}

void LogEndLine() {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (MidLine()) WriteLocked("\n", 1, lock);
}

void LogOwnLine(const std::string& line) {
    std::string text = line;
    std::unique_lock<std::mutex> lock(g_mutex);
    if (MidLine()) text.insert(0, 1, '\n');
    WriteLocked(text.data(), text.size(), lock);
}

void ShowOnConsole(const char* text) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_buffer) Show(text, std::strlen(text), lock);
}

void LogFlush() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_buffer && !g_writer.running) std::fflush(stdout);
}

void LogToBuffer(std::string* buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_buffer = buffer;
}

std::string LinesLeftOutNote(std::uint64_t lines) {
    std::string note = "qvm7316-update: ";
    note += std::to_string(lines);
    note += " log lines not shown here: the console took no output in time (the run log file has them)\n";
    return note;
}

void StartLogWriter(std::FILE* out, unsigned stalledMs) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Writer& w = g_writer;
    if (w.running) return;
    std::fflush(stdout);
    w.out = out;
    w.stalledAfter = std::chrono::milliseconds(stalledMs);
    w.running = true;
    w.stopping = false;
    w.waiting.clear();
    w.shownEndsLine = true;
    w.leavingOut = false;
    w.linesLeftOut = 0;
    w.thread = std::thread(WriterThread);
}

void StopLogWriter() {
    Writer& w = g_writer;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!w.running) return;
        if (w.leavingOut) w.waiting += LeftOutNote(w);
        w.leavingOut = false;
        w.stopping = true;
        w.wake.notify_one();
    }
    w.thread.join();
    std::lock_guard<std::mutex> lock(g_mutex);
    w.running = false;
}

std::string LastLogLine() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastLine;
}

bool OpenRunLog(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_runLogPath = path;
    g_runLogFailed = false;
    g_current.clear();
    g_overwritten.clear();
    errno = 0;
    g_runLog = std::fopen(path.c_str(), "ab");
    if (!g_runLog) RunLogFailed(errno);
    return g_runLog != nullptr;
}

void RunLogRecord(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    WriteRunLogLine(line);
}

void SyncRunLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_runLog && !g_runLogFailed && !SyncToDisk(g_runLog)) RunLogFailed(errno);
}

bool RunLogKept() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_runLog && !g_runLogFailed;
}

void CloseRunLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (MidLine()) EndLine();
    if (g_runLog && !g_runLogFailed) SyncToDisk(g_runLog);
    if (g_runLog && std::fclose(g_runLog) != 0) RunLogFailed(errno);
    g_runLog = nullptr;
}
