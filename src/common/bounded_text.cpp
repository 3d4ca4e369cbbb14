// bounded_text.cpp - texts in fixed buffers that may lack their NUL.

#include "common/bounded_text.h"

#include <cstring>

std::size_t MeasureBoundedText(const char *text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') {
        ++length;
    }
    return length;
}

std::size_t CopyFieldText(char *field, std::size_t width, const char *text, std::size_t limit) {
    if (width == 0) {
        return 0;
    }
    std::size_t length = MeasureBoundedText(text, limit);
    if (length > width - 1) {
        length = width - 1;
    }
    std::memcpy(field, text, length);
    field[length] = '\0';
    return length;
}
