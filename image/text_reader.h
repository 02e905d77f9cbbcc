// Text held in memory, read one character at a time from the front: how the
// image formats read the images, which the update holds whole in memory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

struct TextReader {
    std::string_view text;
    std::size_t at = 0;  // the next character to read
};

// The next character as an unsigned char, or EOF at the end of the text.
inline int NextChar(TextReader& in) {
    return in.at < in.text.size() ? static_cast<unsigned char>(in.text[in.at++]) : EOF;
}

// Reads the character that NextChar just gave once more.
inline void PutBack(TextReader& in) { --in.at; }
