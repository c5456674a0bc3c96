// Bounded formatting in the conventions of printf.
//
// Both functions may be called from any thread at once and never allocate
// beyond what the C library's formatter does.
#ifndef WENDLEMOOR_RUNTIME_FORMAT_H_
#define WENDLEMOOR_RUNTIME_FORMAT_H_

#include <cstdarg>
#include <cstddef>

// Formats into `buffer`, writing at most size - 1 characters and a NUL.
// Returns the number of characters actually written, without the NUL: never
// more than size - 1, unlike C's snprintf, which returns the length the whole
// output would have had. With size 0 nothing is written and 0 is returned; on
// a formatting error the buffer holds an empty string and 0 is returned.
int JX_snprintf(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same, from an argument list, which it consumes.
int JX_vsnprintf(char* buffer, std::size_t size, const char* format,
                 va_list arguments) __attribute__((format(printf, 3, 0)));

#endif  // WENDLEMOOR_RUNTIME_FORMAT_H_
