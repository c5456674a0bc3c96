// Log output on Windows: GetCurrentProcessId and one WriteFile per line.
//
// What Windows gives: WriteFile on the standard output handle, a console or a
// pipe, takes the whole line in one call; the C stream's lock (_lock_file)
// keeps this process's threads, and anything printed through the stream, in
// order, as flockfile does on POSIX, and what others left in the stream's
// buffer goes out first. The bytes go out as they are: the stream's text mode,
// which would write "\r\n", is bypassed, so every line ends in "\n" as on
// Linux. What it lacks: no PIPE_BUF promise is documented for anonymous pipes;
// a line is one request of at most 511 bytes, well under a pipe's buffer.
#include <windows.h>

#include <cstdio>

#include "driver/log_output.h"

unsigned LogProcessId() { return static_cast<unsigned>(GetCurrentProcessId()); }

void WriteLogLine(const char* line, std::size_t length) {
  _lock_file(stdout);
  std::fflush(stdout);
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  // Only a file that fills up takes part of a line; the rest follows.
  while (length > 0 && out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(out, line, static_cast<DWORD>(length), &written, nullptr) ||
        written == 0) {
      break;
    }
    line += written;
    length -= written;
  }
  _unlock_file(stdout);
}
