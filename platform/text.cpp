#include "platform/text.h"

#include <cstdio>

std::string QuoteForMessage(std::string_view text, std::size_t limit) {
    std::string quoted = "'";
    std::size_t shown = text.size() < limit ? text.size() : limit;
    for (std::size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\'' || c == '\\') {
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
    quoted += '\'';
    if (shown < text.size()) quoted += "...";
    return quoted;
}
