#include "platform/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// One lock for the log: the update worker writes it, and the handler of a
// closing console window may add a line from another thread.
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

void Write(const char* text, std::size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_buffer) {
        g_buffer->append(text, length);
    } else {
        // A closed standard output (a reader that has gone) is no reason to
        // stop: the run log file keeps the record.
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }
    Follow(text, length);
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
    bool midLine;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        midLine = !g_current.empty() || !g_overwritten.empty();
    }
    if (midLine) Write("\n", 1);
}

void LogFlush() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_buffer) std::fflush(stdout);
}

void LogToBuffer(std::string* buffer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_buffer = buffer;
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

void CloseRunLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_current.empty() || !g_overwritten.empty()) EndLine();
    if (g_runLog && std::fclose(g_runLog) != 0) RunLogFailed(errno);
    g_runLog = nullptr;
}
