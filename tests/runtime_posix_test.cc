// The base runtime on POSIX systems: sleeping through signals and child
// processes.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"
#include "runtime/thread.h"
#include "tests/helper_role.h"
#include "tests/run_capture.h"

namespace {

std::atomic<int> gSignalsHandled{0};

void CountSignal(int) { gSignalsHandled.fetch_add(1); }

// Installs a counting SIGUSR1 handler without SA_RESTART, so that blocking
// calls in the signalled thread fail with EINTR; restores the old one.
class InterruptingSignal {
 public:
  InterruptingSignal() {
    gSignalsHandled = 0;
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &old_);
  }
  ~InterruptingSignal() { sigaction(SIGUSR1, &old_, nullptr); }

 private:
  struct sigaction old_ {};
};

double MillisecondsSince(std::uint64_t start) {
  return static_cast<double>(JX_MonotonicNanos() - start) / 1e6;
}

TEST(SleepTest, SignalsDoNotShortenTheSleep) {
  // Long enough that both signals come during it, however late the sender
  // gets to run.
  constexpr int kSleepMs = 1000;
  InterruptingSignal signal;
  const pthread_t sleeper = pthread_self();
  const std::uint64_t start = JX_MonotonicNanos();
  std::thread sender([&] {
    // The second signal only once the first was handled: sent while the
    // first is still pending, it would merge with it.
    for (int sent = 0; sent < 2; ++sent) {
      while ((MillisecondsSince(start) < 50 * (sent + 1) ||
              gSignalsHandled.load() < sent) &&
             MillisecondsSince(start) < 60000) {
        JX_Sleep(1000);
      }
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  JX_Sleep(JX_MillisecondsToInterval(kSleepMs));
  const double slept_ms = MillisecondsSince(start);
  const int handled_while_sleeping = gSignalsHandled.load();
  sender.join();
  EXPECT_GE(slept_ms, kSleepMs);
  // Else the signals came too late to test anything.
  EXPECT_GE(handled_while_sleeping, 1);
  if (kThreadSanitizer) {
    EXPECT_GE(gSignalsHandled.load(), 1);
  } else {
    EXPECT_EQ(gSignalsHandled.load(), 2);
  }
}

// Runs /bin/sh -c `script` and returns its exit code, or -1000 when starting
// or waiting failed.
int RunShell(const char* script,
             const JX_ProcessAttributes* attributes = nullptr) {
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  std::string text = script;
  char* const argv[] = {sh, dash_c, text.data(), nullptr};
  JX_Process process = JX_CreateProcess(sh, argv, nullptr, attributes);
  if (process == nullptr) return -1000;
  int code = -1000;
  if (JX_WaitProcess(process, &code) != JX_SUCCESS) return -1000;
  return code;
}

// Reads `fd` into `*text` until its end (true), or with `line` until a
// newline (true); false after a minute without either, or on an error.
bool ReadOn(int fd, std::string* text, bool line) {
  const std::uint64_t start = JX_MonotonicNanos();
  while (!line || text->find('\n') == std::string::npos) {
    const double left = 60000 - MillisecondsSince(start);
    pollfd readable = {fd, POLLIN, 0};
    if (left <= 0 ||
        RetryOnEintr([&] { return poll(&readable, 1, int(left)); }) != 1) {
      return false;
    }
    char buffer[256];
    const ssize_t got =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (got <= 0) return got == 0 && !line;
    text->append(buffer, std::size_t(got));
  }
  return true;
}

TEST(ProcessTest, WaitReportsExitCodeOrSignal) {
  struct Row {
    const char* script;
    int code;
  };
  const Row rows[] = {
      {"exit 0", 0},      {"exit 7", 7},          {"exit 255", 255},
      {"kill -9 $$", -9}, {"kill -TERM $$", -15},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.script);
    EXPECT_EQ(RunShell(row.script), row.code);
  }
  // A wait with a deadline reports that it passed and leaves the handle to
  // kill, which ends the whole group; the wait that kills does both. Either
  // way the grandchild, the pipe's last writer, dies well before its minute
  // of sleep is over, and the child is reaped.
  for (const bool kills : {false, true}) {
    SCOPED_TRACE(kills ? "JX_WaitProcessOrKill" : "JX_WaitProcessFor");
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    JX_ProcessAttributes group;
    group.standard_output = output[1];
    group.new_process_group = true;
    char sh[] = "/bin/sh", dash_c[] = "-c", script[] = "sleep 60 & wait";
    char* const argv[] = {sh, dash_c, script, nullptr};
    JX_Process process = JX_CreateProcess(sh, argv, nullptr, &group);
    close(output[1]);
    ASSERT_NE(process, nullptr);
    const pid_t pid = JX_GetProcessId(process);
    int code = 0;
    const std::uint64_t start = JX_MonotonicNanos();
    if (kills) {
      EXPECT_EQ(JX_WaitProcessOrKill(process, 200, &code), JX_TIMED_OUT);
    } else {
      EXPECT_EQ(JX_WaitProcessFor(process, 200, &code), JX_TIMED_OUT);
      EXPECT_EQ(JX_KillProcess(process), JX_SUCCESS);
      EXPECT_EQ(JX_WaitProcessFor(process, 60000, &code), JX_SUCCESS);
    }
    EXPECT_GE(MillisecondsSince(start), 200);
    EXPECT_LT(MillisecondsSince(start), 30000);
    EXPECT_EQ(code, -SIGKILL);
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);  // no zombie left
    std::string rest;
    EXPECT_TRUE(ReadOn(output[0], &rest, false));
    close(output[0]);
  }
}

TEST(ProcessTest, ChildDiesWithItsParent) {
  // Killed, the helper takes its child with it: the pipe that both write to
  // ends long before the child's two minutes.
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  JX_ProcessAttributes attributes;
  attributes.standard_output = output[1];
  const JX_Process helper = StartHelper("start_dying_with_me", {}, &attributes);
  close(output[1]);
  ASSERT_NE(helper, nullptr);
  std::string text;
  const bool told = ReadOn(output[0], &text, true);
  int code = 0;
  EXPECT_EQ(JX_WaitProcessOrKill(helper, 0, &code), JX_TIMED_OUT);
  EXPECT_EQ(code, -SIGKILL);
  ASSERT_TRUE(told) << text;
  const bool ended = ReadOn(output[0], &text, false);
  close(output[0]);
  EXPECT_TRUE(ended);
  if (!ended) kill(std::stoi(text), SIGKILL);

  // A parent that ends before its child could ask leaves the child told so,
  // never tied to whoever adopts it.
  int answer[2];
  ASSERT_EQ(pipe2(answer, O_CLOEXEC), 0);
  const pid_t middle = fork();
  if (middle == 0) {
    const pid_t parent = getpid();
    if (fork() == 0) {  // async-signal-safe calls only
      const std::uint64_t start = JX_MonotonicNanos();
      while (getppid() == parent && MillisecondsSince(start) < 60000) {
        JX_Sleep(1000);
      }
      const char told =
          JX_DieWithParent(parent) != JX_SUCCESS && errno == ESRCH ? 'y' : 'n';
      (void)RetryOnEintr([&] { return write(answer[1], &told, 1); });
    }
    _exit(0);
  }
  close(answer[1]);
  ASSERT_NE(middle, -1);
  EXPECT_EQ(JX_WaitProcess(JX_AdoptProcess(middle), &code), JX_SUCCESS);
  text.clear();
  EXPECT_TRUE(ReadOn(answer[0], &text, false));
  close(answer[0]);
  EXPECT_EQ(text, "y");
}

TEST(ProcessTest, ChildStartsWithNoSignalBlocked) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  // grep inherits the mask through exec and finds it empty or not.
  const int code =
      RunShell("exec grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status");
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(code, 0);
  // An ignored SIGPIPE stays ignored unless it is asked back to its default:
  // the shell's exit status is bit 13 of the ignored set it inherited.
  struct sigaction ignore = {}, old_action;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old_action);
  const char* script =
      "ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status); "
      "exit $(( (0x$ignored >> 12) & 1 ))";
  JX_ProcessAttributes restored;
  restored.default_sigpipe = true;
  const int kept_code = RunShell(script);
  const int restored_code = RunShell(script, &restored);
  sigaction(SIGPIPE, &old_action, nullptr);
  EXPECT_EQ(kept_code, 1);
  EXPECT_EQ(restored_code, 0);
}

TEST(ProcessTest, LaunchFailureGivesEmptyHandleAndCause) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string not_executable =
      dir.WriteFile("plain", "#!/bin/sh\nexit 0\n", 0644);
  ASSERT_FALSE(not_executable.empty());
  JX_ProcessAttributes elsewhere, bad_stream, no_output, two_outputs;
  elsewhere.working_folder = "/no/such/folder";
  bad_stream.standard_error = JX_kCloseStream - 1;
  no_output.output_file = "/no/such/folder/output";
  two_outputs.output_file = "output";
  two_outputs.standard_error = STDOUT_FILENO;
  struct Row {
    std::string path;
    const JX_ProcessAttributes* attributes;
    int error;
  };
  const Row rows[] = {
      {dir.path() + "/missing", nullptr, ENOENT},
      {not_executable, nullptr, EACCES},
      {"/bin/true", &elsewhere, ENOENT},
      {"/bin/true", &bad_stream, EINVAL},
      {"/bin/true", &no_output, ENOENT},
      {"/bin/true", &two_outputs, EINVAL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    std::string path = row.path;
    char* const argv[] = {path.data(), nullptr};
    errno = 0;
    JX_Process process =
        JX_CreateProcess(path.c_str(), argv, nullptr, row.attributes);
    const int error = errno;
    EXPECT_EQ(process, nullptr);
    EXPECT_EQ(error, row.error);
    if (process != nullptr) (void)JX_WaitProcess(process, nullptr);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left
  }
}

TEST(ProcessTest, WaitGoesOnThroughSignals) {
  InterruptingSignal signal;
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  // The child lives until the waiter has handled a few signals, however late
  // the sender gets to run (or a minute has passed).
  const std::string go = dir.path() + "/go";
  const pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    const std::uint64_t start = JX_MonotonicNanos();
    bool told = false;
    while (!done) {
      pthread_kill(waiter, SIGUSR1);
      JX_Sleep(JX_MillisecondsToInterval(20));
      if (!told &&
          (gSignalsHandled.load() >= 3 || MillisecondsSince(start) > 60000)) {
        told = !dir.WriteFile("go", "", 0600).empty();
      }
    }
  });
  const std::string script =
      "while [ ! -e '" + go + "' ]; do sleep 0.05; done; exit 5";
  const int code = RunShell(script.c_str());
  done = true;
  sender.join();
  EXPECT_EQ(code, 5);
  EXPECT_GE(gSignalsHandled.load(), 3);
}

}  // namespace
