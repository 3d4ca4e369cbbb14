// bounded_text.h - texts in fixed buffers that may lack their NUL.

#pragma once

#include <cstddef>

// Takes a text that may lack its NUL and the most bytes that may be read of
// it. Returns its length: up to the first NUL, never beyond the limit.
std::size_t MeasureBoundedText(const char *text, std::size_t limit);

// Takes a fixed field with its width, and a text with the most bytes that may
// be read of it. Returns the count of characters stored: the text is cut at
// the width less one and always NUL-terminated inside the field.
std::size_t CopyFieldText(char *field, std::size_t width, const char *text, std::size_t limit);
