// Log output: the one writer of diagnostic lines.
//
// Every line goes to standard output as "[pid:thread] message", where pid is
// the process ID (getpid, or GetCurrentProcessId on Windows) and thread the
// calling thread's identity (JX_GetCurrentThread) as "%p" prints it.
// LogMessage may be called from any thread at any time, also before the
// component system is started and after it is shut down. It keeps no state and
// takes no lock of its own: each line is formatted in a buffer on the caller's
// stack and reaches standard output's descriptor as exactly one write(2) of
// exactly that line (one WriteFile on Windows, bytes as they are: no "\r\n"),
// made under the stdout stream's lock after anything left in the stream's
// buffer has been flushed. The kernel does not split a write of at most 511
// bytes to a pipe (up to PIPE_BUF) or a file, so lines of any number of
// threads and processes never mix, however many log at once. A write that
// fails is not reported: the line is lost (a file that fills up takes the rest
// of a partly written line in a second write).
#ifndef WENDLEMOOR_DRIVER_LOG_H_
#define WENDLEMOOR_DRIVER_LOG_H_

#include <cstddef>

// The size of the line buffer; a line is at most kLogLineSize - 1 characters.
inline constexpr std::size_t kLogLineSize = 512;

// Formats the prefix and then `format` with its arguments (printf conventions)
// and writes the line. No newline is added: each message carries its own. A
// line longer than 511 characters is cut to exactly 511; when the message's
// format ends with "\n", the cut line still ends with "\n" (in place of its
// 511th character), so that the next line starts on a line of its own. Never
// allocates.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // WENDLEMOOR_DRIVER_LOG_H_
