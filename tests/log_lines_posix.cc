// Reading a run's log lines on POSIX systems: a pipe, poll, and a process
// group killed at the deadline.
#include "tests/log_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"

// The process leads a group of its own, which is killed at the deadline.
TimedRun RunReadingLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms,
                         const ReadPlan& plan) {
  TimedRun run;
  run.status = kRunNotStarted;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  if (plan.pipe_size != 0) fcntl(fds[1], F_SETPIPE_SZ, plan.pipe_size);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  JX_ProcessAttributes attributes;
  attributes.standard_output = fds[1];
  attributes.working_folder = cwd.empty() ? nullptr : cwd.c_str();
  attributes.new_process_group = true;
  const JX_Process process =
      JX_CreateProcess(args[0], args.data(), nullptr, &attributes);
  close(fds[1]);
  if (process == nullptr) {
    close(fds[0]);
    return run;
  }
  const pid_t pid = JX_GetProcessId(process);

  const std::uint64_t end =
      JX_MonotonicNanos() + std::uint64_t(deadline_ms) * 1000000u;
  JX_Sleep(JX_MillisecondsToInterval(plan.start_delay_ms));
  std::string pending;
  std::vector<char> buffer(plan.chunk);
  for (;;) {
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= end) {
      run.timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = RetryOnEintr([&] {
      return poll(&p, 1, static_cast<int>((end - now) / 1000000 + 1));
    });
    if (ready <= 0) continue;
    const ssize_t n = RetryOnEintr(
        [&] { return read(fds[0], buffer.data(), buffer.size()); });
    if (n <= 0) break;
    const std::uint64_t at = JX_MonotonicNanos();
    pending.append(buffer.data(), static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      LogLine line;
      line.at_ns = at;
      ParseLogLine(pending.substr(0, newline), &line);
      if (plan.on_line) plan.on_line(pid, line);
      run.lines.push_back(line);
      pending.erase(0, newline + 1);
    }
    JX_Sleep(JX_MillisecondsToInterval(plan.pause_ms));
  }
  close(fds[0]);
  if (run.timed_out) (void)JX_KillProcess(process);
  (void)JX_WaitProcess(process, &run.status);
  if (!pending.empty()) {
    LogLine line;
    ParseLogLine(pending, &line);
    run.lines.push_back(line);
  }
  return run;
}
