// Log output on POSIX systems: getpid() and one write(2) per line.
//
// The line goes to the descriptor in one write(2), past the stream's buffer:
// through the buffer, lines of several threads could leave together in one
// write split at the buffer's size, and another process's line could then land
// between the halves. The stream's lock keeps this process's threads, and
// anything else written through the stream, in order; what others left in the
// buffer goes out first. A write to a pipe of at most PIPE_BUF bytes is never
// split; only a file that fills up takes a second write.
#include <unistd.h>

#include <cstdio>

#include "driver/log_output.h"
#include "runtime/eintr.h"

unsigned LogProcessId() { return static_cast<unsigned>(getpid()); }

void WriteLogLine(const char* line, std::size_t length) {
  flockfile(stdout);
  std::fflush(stdout);
  (void)WriteAll(fileno(stdout), line, length);
  funlockfile(stdout);
}
