#include "runtime/format.h"

#include <cstdio>

int JX_vsnprintf(char* buffer, std::size_t size, const char* format,
                 va_list arguments) {
  if (size == 0 || buffer == nullptr) return 0;
  const int would_be = std::vsnprintf(buffer, size, format, arguments);
  if (would_be < 0) {
    buffer[0] = '\0';
    return 0;
  }
  // Clamp the would-be length to what fitted.
  if (static_cast<std::size_t>(would_be) >= size) {
    return static_cast<int>(size - 1);
  }
  return would_be;
}

int JX_snprintf(char* buffer, std::size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = JX_vsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  return written;
}
