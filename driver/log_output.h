// The platform's part of log output: the process ID that the prefix carries
// and the one write that hands a whole line to standard output.
//
// Each platform file (log_posix.cc, log_win32.cc) says how its write keeps a
// line whole. Both functions may be called from any thread at once.
#ifndef WENDLEMOOR_DRIVER_LOG_OUTPUT_H_
#define WENDLEMOOR_DRIVER_LOG_OUTPUT_H_

#include <cstddef>

// The calling process's ID as the operating system numbers it.
unsigned LogProcessId();

// Writes `length` bytes of `line` to standard output in one write, after
// anything left in the stdout stream's buffer. A failed write is not
// reported: there is nowhere to report it, and the line is lost.
void WriteLogLine(const char* line, std::size_t length);

#endif  // WENDLEMOOR_DRIVER_LOG_OUTPUT_H_
