#include "driver/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/eintr.h"
#include "runtime/format.h"
#include "runtime/thread.h"

void LogMessage(const char* format, ...) {
  char buffer[kLogLineSize];
  void* const thread = JX_GetCurrentThread();
  const unsigned process = static_cast<unsigned>(getpid());
  const int n = JX_snprintf(buffer, sizeof buffer, "[%u:%p] ", process, thread);

  va_list arguments;
  va_start(arguments, format);
  const int m = JX_vsnprintf(buffer + n, sizeof buffer - n, format, arguments);
  va_end(arguments);
  buffer[sizeof buffer - 1] = '\0';

  // A message that filled the buffer to the last byte may have been cut. The
  // system's messages carry their newline at the end of the format; a cut line
  // keeps it so that the next line, perhaps another process's, is not glued on.
  const std::size_t format_length = std::strlen(format);
  if (static_cast<std::size_t>(n + m) == sizeof buffer - 1 &&
      format_length > 0 && format[format_length - 1] == '\n') {
    buffer[sizeof buffer - 2] = '\n';
  }

  // The line goes to the descriptor in one write(2), past the stream's buffer:
  // through the buffer, lines of several threads could leave together in one
  // write split at the buffer's size, and another process's line could then
  // land between the halves. The stream's lock keeps this process's threads,
  // and anything else written through the stream, in order; what others left
  // in the buffer goes out first. A write to a pipe of at most PIPE_BUF bytes
  // is never split; only a file that fills up takes a second write.
  flockfile(stdout);
  std::fflush(stdout);
  // Nowhere to report a failed write: the line is dropped.
  (void)WriteAll(fileno(stdout), buffer, std::strlen(buffer));
  funlockfile(stdout);
}
