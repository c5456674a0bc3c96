// The base runtime on every platform: thread identity, creation and joining,
// a child's exit code, and bounded formatting.
#include <atomic>
#include <barrier>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/format.h"
#include "runtime/interval.h"
#include "runtime/process.h"
#include "runtime/thread.h"
#include "tests/helper_role.h"

namespace {

JX_Thread StartThread(JX_ThreadRoutine routine, void* argument) {
  return JX_CreateThread(JX_USER_THREAD, routine, argument, JX_PRIORITY_NORMAL,
                         JX_GLOBAL_THREAD, JX_JOINABLE_THREAD, 0);
}

TEST(ThreadTest, LiveThreadsHaveDistinctStableIdentities) {
  constexpr int kThreads = 16;
  struct Shared {
    std::barrier<> all_alive{kThreads};
    void* before[kThreads] = {};
    void* after[kThreads] = {};
    std::atomic<int> next{0};
  } shared;
  auto routine = [](void* raw) {
    auto* s = static_cast<Shared*>(raw);
    const int index = s->next.fetch_add(1);
    s->before[index] = JX_GetCurrentThread();
    s->all_alive.arrive_and_wait();
    s->after[index] = JX_GetCurrentThread();
  };
  std::vector<JX_Thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(StartThread(routine, &shared));
    ASSERT_NE(threads.back(), nullptr);
  }
  for (JX_Thread thread : threads) EXPECT_EQ(JX_JoinThread(thread), JX_SUCCESS);

  std::set<void*> distinct = {JX_GetCurrentThread()};
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_NE(shared.before[i], nullptr);
    EXPECT_EQ(shared.before[i], shared.after[i]);
    distinct.insert(shared.before[i]);
  }
  EXPECT_EQ(distinct.size(), kThreads + 1u);
}

void DoNothing(void*) {}

TEST(ThreadTest, CreateRefusesArgumentsOutOfRange) {
  struct Row {
    const char* what;
    int kind, priority, scope, state;
    JX_ThreadRoutine routine;
  };
  const Row rows[] = {
      {"no routine", 0, 1, 1, 0, nullptr}, {"kind", 2, 1, 1, 0, DoNothing},
      {"kind", -1, 1, 1, 0, DoNothing},    {"priority", 0, -1, 1, 0, DoNothing},
      {"priority", 0, 4, 1, 0, DoNothing}, {"scope", 0, 1, 2, 0, DoNothing},
      {"state", 0, 1, 1, 2, DoNothing},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(
        JX_CreateThread(static_cast<JX_ThreadKind>(row.kind), row.routine,
                        nullptr, static_cast<JX_ThreadPriority>(row.priority),
                        static_cast<JX_ThreadScope>(row.scope),
                        static_cast<JX_ThreadState>(row.state), 0),
        nullptr);
  }
}

TEST(ThreadTest, JoinRefusesOwnHandleAndUnjoinableToken) {
  struct Shared {
    std::atomic<JX_Thread> self{nullptr};
    std::atomic<int> own_join{JX_SUCCESS};
  } shared;
  JX_Thread thread = StartThread(
      [](void* raw) {
        auto* s = static_cast<Shared*>(raw);
        JX_Thread self;
        while ((self = s->self.load()) == nullptr) JX_Sleep(1000);
        s->own_join = JX_JoinThread(self);
      },
      &shared);
  ASSERT_NE(thread, nullptr);
  shared.self = thread;
  // The refused handle is still good for the real join.
  EXPECT_EQ(JX_JoinThread(thread), JX_SUCCESS);
  EXPECT_EQ(shared.own_join.load(), JX_FAILURE);

  JX_Thread token =
      JX_CreateThread(JX_USER_THREAD, DoNothing, nullptr, JX_PRIORITY_NORMAL,
                      JX_GLOBAL_THREAD, JX_UNJOINABLE_THREAD, 0);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(JX_JoinThread(token), JX_FAILURE);

  // Many unjoinable threads that end at once, most before their start has
  // returned: their records are theirs alone (AddressSanitizer tells).
  struct Ending {
    std::mutex mutex;
    std::condition_variable ended;
    int left = 400;
  } ending;
  for (int i = 0; i < 400; ++i) {
    if (JX_CreateThread(
            JX_USER_THREAD,
            [](void* raw) {
              auto* e = static_cast<Ending*>(raw);
              std::lock_guard<std::mutex> lock(e->mutex);
              if (--e->left == 0) e->ended.notify_one();
            },
            &ending, JX_PRIORITY_NORMAL, JX_GLOBAL_THREAD, JX_UNJOINABLE_THREAD,
            0) == nullptr) {
      ADD_FAILURE() << "thread " << i << " not started";
      std::lock_guard<std::mutex> lock(ending.mutex);
      --ending.left;
    }
  }
  std::unique_lock<std::mutex> lock(ending.mutex);
  ending.ended.wait(lock, [&] { return ending.left == 0; });
}

// Arguments: an exit code, returned from main.
WENDLEMOOR_HELPER_ROLE(exit_with) { return std::stoi(arguments[0]); }

TEST(ProcessTest, ExitCodeReadsAsItsLowEightBits) {
  const std::pair<const char*, int> rows[] = {
      {"7", 7}, {"-1", 255}, {"300", 44}};
  for (const auto& [code, read] : rows) {
    std::string strings[] = {TestBinaryPath(), "--helper-role", "exit_with",
                             code};
    char* const argv[] = {strings[0].data(), strings[1].data(),
                          strings[2].data(), strings[3].data(), nullptr};
    JX_Process child = JX_CreateProcess(argv[0], argv, nullptr, nullptr);
    ASSERT_NE(child, nullptr) << code;
    int status = -1000;
    EXPECT_EQ(JX_WaitProcess(child, &status), JX_SUCCESS);
    EXPECT_EQ(status, read) << code;
  }
}

// Arguments: milliseconds to sleep before ending.
WENDLEMOOR_HELPER_ROLE(sleep_for) {
  JX_Sleep(JX_MillisecondsToInterval(std::stoul(arguments[0])));
  return kHelperOk;
}

// Starts a sleep_for helper of two minutes that dies with this one, tells
// its process ID on standard output, which they share, and sleeps as long.
WENDLEMOOR_HELPER_ROLE(start_dying_with_me) {
  JX_ProcessAttributes attributes;
  attributes.die_with_parent = true;
  const JX_Process child = StartHelper("sleep_for", {"120000"}, &attributes);
  if (child == nullptr) return kHelperFailed;
  std::printf("%d\n", int(JX_GetProcessId(child)));
  std::fflush(stdout);
  JX_Sleep(JX_SecondsToInterval(120));
  return kHelperOk;
}

TEST(ProcessTest, WaitForAnyReapsTheOneThatEnded) {
  JX_Process processes[] = {StartHelper("sleep_for", {"120000"}),
                            StartHelper("exit_with", {"7"}),
                            StartHelper("sleep_for", {"120000"})};
  for (JX_Process process : processes) ASSERT_NE(process, nullptr);
  std::size_t index = 99;
  int code = -1;
  EXPECT_EQ(JX_WaitAnyProcessFor(processes, 3, 60000, &index, &code),
            JX_SUCCESS);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(code, 7);
  // The others run on, to the deadline of the next wait.
  JX_Process sleepers[] = {processes[0], processes[2]};
  const std::uint64_t start = JX_MonotonicNanos();
  EXPECT_EQ(JX_WaitAnyProcessFor(sleepers, 2, 200, &index, &code),
            JX_TIMED_OUT);
  EXPECT_GE(JX_MonotonicNanos() - start, 200000000u);
  for (JX_Process sleeper : sleepers) {
    EXPECT_EQ(JX_WaitProcessOrKill(sleeper, 0, &code), JX_TIMED_OUT);
  }
}

// Arguments: none, or a file to send this helper's output to. Writes "out"
// to standard output, then "err" to standard error.
WENDLEMOOR_HELPER_ROLE(print_out_and_err) {
  if (!arguments.empty() &&
      JX_RedirectOutputToFile(arguments[0].c_str()) != JX_SUCCESS) {
    return kHelperFailed;
  }
  std::fputs("out\n", stdout);
  std::fflush(stdout);
  std::fputs("err\n", stderr);
  return kHelperOk;
}

TEST(ProcessTest, OutputFileTakesBothStreamsAfresh) {
  const std::string file =
      (std::filesystem::temp_directory_path() /
       ("wendlemoor-output-" + std::to_string(JX_MonotonicNanos())))
          .string();
  // Given to the child, or taken by the child itself.
  for (const bool its_own : {false, true}) {
    SCOPED_TRACE(its_own ? "JX_RedirectOutputToFile" : "output_file");
    std::ofstream(file) << "what the file held before, longer than both\n";
    JX_ProcessAttributes attributes;
    if (!its_own) attributes.output_file = file.c_str();
    const JX_Process helper = StartHelper(
        "print_out_and_err",
        its_own ? std::vector<std::string>{file} : std::vector<std::string>{},
        &attributes);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(WaitHelper(helper, 60000), kHelperOk);
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    std::erase(text, '\r');
    EXPECT_EQ(text, "out\nerr\n");
  }
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

TEST(FormatTest, ReturnsTheCountActuallyWritten) {
  struct Row {
    std::size_t size;
    int written;
    const char* text;
  };
  const Row rows[] = {
      {8, 7, "hello w"},
      {11, 10, "hello worl"},
      {12, 11, "hello world"},
      {64, 11, "hello world"},
      {1, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(JX_snprintf(buffer, row.size, "%s", "hello world"), row.written);
    EXPECT_STREQ(buffer, row.text);
  }
  char untouched = '#';
  EXPECT_EQ(JX_snprintf(&untouched, 0, "%s", "hello"), 0);
  EXPECT_EQ(untouched, '#');
}

}  // namespace
