// Runs a process tree with standard output on a pipe and reads its log lines as
// they arrive, each with the monotonic time it was read at. For tests that need
// to know who logged what, and when.
#ifndef WENDLEMOOR_TESTS_LOG_LINES_H_
#define WENDLEMOOR_TESTS_LOG_LINES_H_

#include <cstdint>
#include <string>
#include <vector>

struct LogLine {
  std::uint64_t at_ns = 0;  // when the line was read
  unsigned pid = 0;         // from the "[pid:thread] " prefix; 0 when unprefixed
  std::string thread;       // the thread identity as logged
  std::string message;      // after the prefix, without the newline
};

struct TimedRun {
  int status = 0;          // exit status, or minus the signal number
  bool timed_out = false;  // the deadline passed and the process was killed
  std::vector<LogLine> lines;
};

// Splits "[pid:thread] message" (the newline already removed). Returns false
// for a line without a well-formed prefix, whose message is then the whole line.
bool ParseLogLine(const std::string& raw, LogLine* line);

// Starts argv[0] with `argv` in the folder `cwd` (the caller's when empty),
// reads standard output until every process holding the pipe has closed it,
// and waits for the process. After `deadline_ms` it kills the process and
// reports a time-out instead of hanging.
TimedRun RunAndTimeLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms);

// The messages of `lines` logged by `pid`, in order.
std::vector<LogLine> LinesOf(const std::vector<LogLine>& lines, unsigned pid);

#endif  // WENDLEMOOR_TESTS_LOG_LINES_H_
