// Runs a process tree with standard output on a pipe and reads its log lines as
// they arrive, each with the monotonic time it was read at. For tests that need
// to know who logged what, and when.
#ifndef WENDLEMOOR_TESTS_LOG_LINES_H_
#define WENDLEMOOR_TESTS_LOG_LINES_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/run_capture.h"  // kRunNotStarted, OutputReading

struct LogLine {
  std::uint64_t at_ns = 0;  // when the line was read
  unsigned pid = 0;     // from the "[pid:thread] " prefix; 0 when unprefixed
  std::string thread;   // the thread identity as logged
  std::string message;  // after the prefix, without the newline
};

struct TimedRun {
  int status = 0;          // exit status, or minus the signal number
  bool timed_out = false;  // the deadline passed and the process was killed
  std::vector<LogLine> lines;
};

// Splits "[pid:thread] message" (the newline already removed). Returns false
// for a line without a well-formed prefix, whose message is then the whole
// line.
bool ParseLogLine(const std::string& raw, LogLine* line);

// How the reader of a run's output behaves: as OutputReading says (its
// on_output is RunReadingLines' own), and on_line is called for each line as
// it is read, with the started process's pid.
struct ReadPlan : OutputReading {
  std::function<void(pid_t, const LogLine&)> on_line;
};

// Starts argv[0] with `argv` in the folder `cwd` (the caller's when empty) as
// the leader of a process group of its own, reads standard output as `plan`
// says until every process holding the pipe has closed it, and waits for the
// process. After `deadline_ms` it kills the whole group and reports a time-out
// instead of hanging. status is kRunNotStarted when nothing could be started.
TimedRun RunReadingLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms,
                         const ReadPlan& plan);

// RunReadingLines with a reader that reads as fast as lines come.
TimedRun RunAndTimeLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms);

// The folder that holds the built executable, where "./Wendlemoor" runs.
std::string BuildFolder();

// What one child of a run logged about its workers.
struct ChildOutcome {
  std::set<std::string> clean_exits;  // names whose worker ended with rv=0
  int exits = 0;                      // exit lines of any code
  bool joined = false;                // logged its join line
};

// The outcome of every process but `parent` that logged a line.
std::map<unsigned, ChildOutcome> ChildOutcomes(
    const std::vector<LogLine>& lines, unsigned parent);

// Expects five workers that all ended with rv=0, and the join line.
void ExpectFullRun(const ChildOutcome& child, unsigned pid);

// The messages of `lines` logged by `pid`, in order.
std::vector<LogLine> LinesOf(const std::vector<LogLine>& lines, unsigned pid);

#endif  // WENDLEMOOR_TESTS_LOG_LINES_H_
