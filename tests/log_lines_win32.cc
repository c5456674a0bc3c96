// Reading a run's log lines on Windows: the run is a TestChild, in a job that
// is killed at the deadline with everything it started. A plan's pipe size
// and chunk size are not acted on, and a last line without its newline is
// taken whole.
#include "tests/log_lines.h"

#include <algorithm>

#include "runtime/interval.h"
#include "tests/test_child_win32.h"

TimedRun RunReadingLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms,
                         const ReadPlan& plan) {
  TimedRun run;
  run.status = kRunNotStarted;
  TestChild child;
  if (!child.Start(argv, cwd)) return run;
  child.CloseInput();
  JX_Sleep(JX_MillisecondsToInterval(plan.start_delay_ms));
  const std::uint64_t end =
      JX_MonotonicNanos() + std::uint64_t(deadline_ms) * 1000000u;
  // Log lines are never empty: an empty one is the pipe's end or the deadline.
  for (;;) {
    const int left =
        static_cast<int>((end - std::min(end, JX_MonotonicNanos())) / 1000000u);
    const std::string text = child.Read(true, left);
    if (text.empty()) break;
    LogLine line;
    line.at_ns = JX_MonotonicNanos();
    ParseLogLine(text, &line);
    if (plan.on_line) plan.on_line(static_cast<pid_t>(child.pid()), line);
    run.lines.push_back(line);
    JX_Sleep(JX_MillisecondsToInterval(plan.pause_ms));
  }
  run.timed_out = JX_MonotonicNanos() >= end;
  run.status = child.Wait(run.timed_out ? 0 : deadline_ms);
  return run;
}
