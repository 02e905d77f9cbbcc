#include "platform/text.h"

#include <cstdio>

std::string InQuotes(std::string_view text, char quote) {
    std::string quoted(1, quote);
    for (unsigned char c : text) {
        if (c == static_cast<unsigned char>(quote) || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + quote;
}

std::string QuoteForMessage(std::string_view text, std::size_t limit) {
    std::string quoted = InQuotes(text.substr(0, limit), '\'');
    if (limit < text.size()) quoted += "...";
    return quoted;
}
