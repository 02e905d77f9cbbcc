#include "image/prom_image.h"

#include <cstring>

bool ReadPageLine(TextReader& image, char* buffer, int size, std::size_t& textLength) {
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    textLength = 0;
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    int c = EOF;
    while (textLength < room && (c = NextChar(image)) != EOF && c != '\n' && c != '\r')
        buffer[textLength++] = static_cast<char>(c);
    if (c == '\r') {
        int next = NextChar(image);
        if (next != '\n' && next != EOF) PutBack(image);
    }
    // A line end or a full piece is a line; the end of the image after no
    // text at all is the end of the image.
    bool line = textLength > 0 || c == '\n' || c == '\r';
    textLength = std::strlen(buffer);  // a 0 byte ends the text
    return line;
}
