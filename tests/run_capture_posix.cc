#include "tests/run_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "runtime/eintr.h"
#include "runtime/interval.h"

extern char** environ;

namespace {

int ExitCodeOf(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                : -WTERMSIG(wait_status);
}

int MillisecondsLeft(std::uint64_t end_nanos) {
  const std::uint64_t now = JX_MonotonicNanos();
  if (now >= end_nanos) return 0;
  return static_cast<int>((end_nanos - now + 999999) / 1000000);
}

// Starts the process with its standard output on `write_end`; returns the pid
// or -1 with `*error` set.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
            int write_end, int* error) {
  std::vector<std::string> strings = argv;
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end, STDOUT_FILENO);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  *error = posix_spawn(&pid, strings[0].c_str(), &actions, &attributes,
                       pointers.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return *error == 0 ? pid : -1;
}

}  // namespace

RunResult RunCapture(const std::vector<std::string>& argv,
                     const std::string& cwd, int deadline_ms) {
  RunResult result;
  const std::uint64_t end =
      JX_MonotonicNanos() + static_cast<std::uint64_t>(deadline_ms) * 1000000u;
  // Close-on-exec, so that processes other threads start meanwhile do not hold
  // our pipe open.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    return result;
  }
  const pid_t pid = Spawn(argv, cwd, fds[1], &result.spawn_error);
  close(fds[1]);
  if (pid == -1) {
    close(fds[0]);
    return result;
  }
  result.pid = pid;

  // Read until every writer is gone or the deadline passes.
  bool open = true;
  while (open) {
    const int left = MillisecondsLeft(end);
    if (left == 0) break;
    pollfd entry{fds[0], POLLIN, 0};
    const int ready = poll(&entry, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char chunk[4096];
    const ssize_t n =
        RetryOnEintr([&] { return read(fds[0], chunk, sizeof chunk); });
    if (n <= 0) {
      open = false;
    } else {
      result.output.append(chunk, static_cast<std::size_t>(n));
    }
  }
  close(fds[0]);

  // The output is closed; the process may still be on its way out.
  int status = 0;
  for (;;) {
    const pid_t r =
        open ? 0 : RetryOnEintr([&] { return waitpid(pid, &status, WNOHANG); });
    if (r == pid) break;
    if (open || MillisecondsLeft(end) == 0) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      RetryOnEintr([&] { return waitpid(pid, &status, 0); });
      result.timed_out = true;
      break;
    }
    JX_Sleep(JX_MillisecondsToInterval(2));
  }
  result.status = ExitCodeOf(status);
  return result;
}

std::vector<RunResult> RunCaptureAll(const std::vector<RunRequest>& requests,
                                     int deadline_ms) {
  std::vector<RunResult> results(requests.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] {
      results[i] = RunCapture(requests[i].argv, requests[i].cwd, deadline_ms);
    });
  }
  for (auto& thread : threads) thread.join();
  return results;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  pattern += "/wendlemoor-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& name,
                               const std::string& content, mode_t mode) const {
  const std::string file = path_ + "/" + name;
  const int fd =
      open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) return {};
  const bool written = write(fd, content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size());
  // An explicit chmod: the umask would narrow the mode given to open.
  const bool ok = written && fchmod(fd, mode) == 0;
  close(fd);
  return ok ? file : std::string();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, newline - start));
    start = newline + 1;
  }
  return lines;
}

std::vector<RunResult> RunWithStubChildren(
    const std::vector<std::vector<std::string>>& argument_lists,
    int deadline_ms) {
  TempDir stub_dir;
  if (stub_dir.path().empty() ||
      stub_dir.WriteFile("Wendlemoor", "#!/bin/sh\nexit 0\n", 0755).empty()) {
    return std::vector<RunResult>(argument_lists.size());
  }
  std::vector<RunRequest> requests;
  for (const auto& arguments : argument_lists) {
    RunRequest request{{WENDLEMOOR_BINARY}, stub_dir.path()};
    request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
    requests.push_back(request);
  }
  return RunCaptureAll(requests, deadline_ms);
}
