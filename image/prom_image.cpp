#include "image/prom_image.h"

#include <cstring>

bool ReadPageLine(std::FILE* image, char* buffer, int size, std::size_t& textLength) {
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    textLength = 0;
    if (std::fgets(buffer, size, image) == nullptr) return false;
    std::size_t length = std::strlen(buffer);
    textLength = length > 2 ? length - 2 : 0;
    return true;
}
