#include "platform/log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

// Where the log goes: a test's buffer, or standard output when null.
std::string* g_buffer = nullptr;

void Write(const char* text, std::size_t length) {
    if (g_buffer)
        g_buffer->append(text, length);
    else
        std::fwrite(text, 1, length, stdout);
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

void LogFlush() {
    if (!g_buffer) std::fflush(stdout);
}

void LogToBuffer(std::string* buffer) { g_buffer = buffer; }
