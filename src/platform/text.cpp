#include "platform/text.h"

#include <stdio.h>
#include <string.h>

#include <new>

namespace text {

bool Copy(char* dest, size_t capacity, const char* source) {
  if (capacity == 0) return false;
  size_t n = strlen(source);
  bool fits = n < capacity;
  if (!fits) n = capacity - 1;
  memcpy(dest, source, n);
  dest[n] = '\0';
  return fits;
}

bool Append(char* dest, size_t capacity, const char* source) {
  size_t used = strnlen(dest, capacity);
  if (used >= capacity) return false;
  return Copy(dest + used, capacity - used, source);
}

bool FormatV(char* dest, size_t capacity, const char* format, va_list args) {
  if (capacity == 0) return false;
#if defined(_WIN32)
  // The system runtime's _vsnprintf neither terminates a cut text nor
  // reports its full length; -1 (or exactly the capacity) means it was cut.
  int n = _vsnprintf(dest, capacity, format, args);
  dest[capacity - 1] = '\0';
  return n >= 0 && static_cast<size_t>(n) < capacity;
#else
  int n = vsnprintf(dest, capacity, format, args);
  return n >= 0 && static_cast<size_t>(n) < capacity;
#endif
}

bool Format(char* dest, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool fits = FormatV(dest, capacity, format, args);
  va_end(args);
  return fits;
}

char* Duplicate(const char* source) {
  size_t size = strlen(source) + 1;
  // nothrow: the installer is built without exceptions, and a plain new
  // would let the compiler assume a result that is never null.
  char* copy = new (std::nothrow) char[size];
  if (copy) memcpy(copy, source, size);
  return copy;
}

}  // namespace text
