// Reading a run's log lines on POSIX systems: RunReading's chunks cut into
// lines.
#include "tests/log_lines.h"

TimedRun RunReadingLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms,
                         const ReadPlan& plan) {
  TimedRun run;
  std::string pending;
  OutputReading reading = plan;
  reading.on_output = [&](pid_t pid, const char* data, std::size_t size,
                          std::uint64_t at) {
    pending.append(data, size);
    for (std::size_t newline; (newline = pending.find('\n')) != pending.npos;
         pending.erase(0, newline + 1)) {
      LogLine line;
      line.at_ns = at;
      ParseLogLine(pending.substr(0, newline), &line);
      if (plan.on_line) plan.on_line(pid, line);
      run.lines.push_back(line);
    }
  };
  const RunResult result = RunReading(argv, cwd, deadline_ms, reading);
  run.status = result.status;
  run.timed_out = result.timed_out;
  if (!pending.empty()) {
    LogLine line;
    ParseLogLine(pending, &line);
    run.lines.push_back(line);
  }
  return run;
}
