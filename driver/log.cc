#include "driver/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/log_output.h"
#include "runtime/format.h"
#include "runtime/thread.h"

void LogMessage(const char* format, ...) {
  char buffer[kLogLineSize];
  void* const thread = JX_GetCurrentThread();
  const unsigned process = LogProcessId();
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

  WriteLogLine(buffer, std::strlen(buffer));
}
