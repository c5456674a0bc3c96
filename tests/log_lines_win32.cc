// Reading a run's log lines on Windows: the run is a TestChild, in a job that
// is killed at the deadline with everything it started. A plan's pipe size
// and chunk size are not acted on: reads take what the pipe holds.
#include "tests/log_lines.h"

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
  std::string pending;
  run.timed_out = !child.ReadAll(deadline_ms, [&](const std::string& chunk) {
    const std::uint64_t at = JX_MonotonicNanos();
    pending += chunk;
    for (std::size_t newline; (newline = pending.find('\n')) != pending.npos;
         pending.erase(0, newline + 1)) {
      LogLine line;
      line.at_ns = at;
      ParseLogLine(pending.substr(0, newline), &line);
      if (plan.on_line) plan.on_line(static_cast<pid_t>(child.pid()), line);
      run.lines.push_back(line);
    }
    JX_Sleep(JX_MillisecondsToInterval(plan.pause_ms));
  });
  run.status = child.Wait(run.timed_out ? 0 : deadline_ms);
  if (!pending.empty()) {
    LogLine line;
    ParseLogLine(pending, &line);
    run.lines.push_back(line);
  }
  return run;
}
