// Bounded text routines for the fixed buffers of the installer. Every routine
// takes the destination's capacity (terminator included), never writes past
// it, always terminates, and says whether the whole text fitted, so that a
// caller can refuse a cut path instead of using it.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace text {

// Copies `source`; false when it had to be cut.
bool Copy(char* dest, size_t capacity, const char* source);
// Appends `source` to the text in `dest`; false when it had to be cut.
bool Append(char* dest, size_t capacity, const char* source);
// printf-style formatting (%s, %d and friends); false when it had to be cut.
bool Format(char* dest, size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
bool FormatV(char* dest, size_t capacity, const char* format, va_list args);

// A copy of `source` on the heap, released with delete[]; null when memory
// runs out.
char* Duplicate(const char* source);

}  // namespace text
