#include "tests/log_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "runtime/eintr.h"
#include "runtime/interval.h"

extern char** environ;

bool ParseLogLine(const std::string& raw, LogLine* line) {
  line->message = raw;
  unsigned pid = 0;
  int consumed = 0;
  char thread[64];
  if (raw.size() < 4 || raw[0] != '[' ||
      std::sscanf(raw.c_str(), "[%u:%63[^]]] %n", &pid, thread, &consumed) != 2 ||
      consumed == 0) {
    return false;
  }
  line->pid = pid;
  line->thread = thread;
  line->message = raw.substr(static_cast<std::size_t>(consumed));
  return true;
}

TimedRun RunAndTimeLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms) {
  TimedRun run;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    run.status = -1000;
    return run;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  const int error =
      posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    run.status = -1000;
    return run;
  }

  const std::uint64_t end =
      JX_MonotonicNanos() + std::uint64_t(deadline_ms) * 1000000u;
  std::string pending;
  char buffer[4096];
  for (;;) {
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= end) {
      run.timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = RetryOnEintr(
        [&] { return poll(&p, 1, static_cast<int>((end - now) / 1000000 + 1)); });
    if (ready <= 0) continue;
    const ssize_t n =
        RetryOnEintr([&] { return read(fds[0], buffer, sizeof buffer); });
    if (n <= 0) break;  // every writer has closed the pipe
    const std::uint64_t at = JX_MonotonicNanos();
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      LogLine line;
      line.at_ns = at;
      ParseLogLine(pending.substr(0, newline), &line);
      run.lines.push_back(line);
      pending.erase(0, newline + 1);
    }
  }
  close(fds[0]);
  if (run.timed_out) kill(pid, SIGKILL);
  int status = 0;
  RetryOnEintr([&] { return waitpid(pid, &status, 0); });
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  if (!pending.empty()) {
    LogLine line;
    line.at_ns = JX_MonotonicNanos();
    ParseLogLine(pending, &line);
    run.lines.push_back(line);
  }
  return run;
}

std::vector<LogLine> LinesOf(const std::vector<LogLine>& lines, unsigned pid) {
  std::vector<LogLine> out;
  for (const auto& line : lines) {
    if (line.pid == pid) out.push_back(line);
  }
  return out;
}
