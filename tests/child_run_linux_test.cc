// The child test run and its workers: against fake lock services registered in
// the registry and without services.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "components/event_queue_service.h"
#include "components/registry.h"
#include "gtest/gtest.h"
#include "locktest/child_run.h"
#include "tests/fake_lock_service.h"
#include "tests/helper_role.h"
#include "tests/log_lines.h"

using wendlemoor::InitComponentSystem;
using wendlemoor::kEventQueueServiceContractId;
using wendlemoor::kLockServiceContractId;
using wendlemoor::kOk;
using wendlemoor::RegisterService;
using wendlemoor::ResultCode;
using wendlemoor::ShutdownComponentSystem;

// The test binary is linked with --wrap=pthread_create, so the runtime's
// thread starts come here: bit i of gFailThreadStarts makes the i-th start
// after arming fail as if the system had run out of threads.
std::atomic<unsigned> gFailThreadStarts{0};
std::atomic<unsigned> gThreadStarts{0};

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*,
                                     void* (*)(void*), void*);
extern "C" int __wrap_pthread_create(pthread_t* thread,
                                     const pthread_attr_t* attributes,
                                     void* (*routine)(void*), void* argument) {
  const unsigned start = gThreadStarts++;
  if (start < 32 && ((gFailThreadStarts.load() >> start) & 1) != 0) {
    return EAGAIN;
  }
  return __real_pthread_create(thread, attributes, routine, argument);
}

namespace {

constexpr int kDeadlineMs = 120000;

// Runs DoTest with a fake lock service answering with the two codes given in
// hex, then reports how often the fake was called. An optional third argument
// (hex) makes the thread starts of its set bits fail.
WENDLEMOOR_HELPER_ROLE(do_test_with_fake) {
  if (arguments.size() != 2 && arguments.size() != 3) return kHelperFailed;
  const auto acquire =
      static_cast<ResultCode>(std::stoul(arguments[0], nullptr, 16));
  const auto release =
      static_cast<ResultCode>(std::stoul(arguments[1], nullptr, 16));
  if (InitComponentSystem(nullptr, nullptr, nullptr) != kOk)
    return kHelperFailed;
  auto* fake = new FakeLockService(acquire, release);
  RegisterService(kLockServiceContractId, fake);
  if (arguments.size() == 3) {
    gThreadStarts = 0;
    gFailThreadStarts = std::stoul(arguments[2], nullptr, 16);
  }
  const ResultCode rv = DoTest();
  ShutdownComponentSystem(nullptr);
  std::printf("calls acquire=%d release=%d references=%u rv=%x\n",
              fake->acquires(), fake->release_calls(), fake->references(), rv);
  fake->Release();
  return kHelperOk;
}

// Runs the child branch with one built-in service taken away.
WENDLEMOOR_HELPER_ROLE(child_without) {
  if (arguments.size() != 1) return kHelperFailed;
  if (InitComponentSystem(nullptr, nullptr, nullptr) != kOk)
    return kHelperFailed;
  RegisterService(arguments[0] == "event-queue" ? kEventQueueServiceContractId
                                                : kLockServiceContractId,
                  nullptr);
  return RunChildTest();  // its own start-up finds the system already running
}

TimedRun RunHelper(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {TestBinaryPath(), "--helper-role"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunAndTimeLines(argv, "", kDeadlineMs);
}

std::vector<std::string> Messages(const TimedRun& run) {
  std::vector<std::string> messages;
  for (const auto& line : run.lines) messages.push_back(line.message);
  return messages;
}

// Per lock name, the messages of its worker in order.
std::map<std::string, std::vector<LogLine>> WorkerLines(const TimedRun& run) {
  std::map<std::string, std::vector<LogLine>> by_name;
  std::map<std::string, std::string> name_of_thread;
  for (const auto& line : run.lines) {
    char name[64];
    if (std::sscanf(line.message.c_str(), "entering TestThread [lock=%63[^]]]",
                    name) == 1) {
      name_of_thread[line.thread] = name;
    }
    auto it = name_of_thread.find(line.thread);
    if (it != name_of_thread.end()) by_name[it->second].push_back(line);
  }
  return by_name;
}

TEST(LockWorkerTest, EachOutcomeIsLoggedWithItsCode) {
  struct Row {
    const char* acquire;
    const char* release;
    std::vector<std::string> middle;  // between the entry and the exit line
    const char* exit_rv;
    const char* calls;
  };
  const Row rows[] = {
      {"80000201",
       "0",
       {"failed to acquire lock [rv=80000201]"},
       "80000201",
       "calls acquire=5 release=0 references=1 rv=0"},
      {"0",
       "80000203",
       {"failed to release lock [rv=80000203]"},
       "80000203",
       "calls acquire=5 release=5 references=1 rv=0"},
      {"0", "0", {}, "0", "calls acquire=5 release=5 references=1 rv=0"},
      // A successful code other than zero shows only in the exit line.
      {"0", "7", {}, "7", "calls acquire=5 release=5 references=1 rv=0"},
  };
  // The rows run side by side: each takes a few seconds of designed pauses.
  std::vector<TimedRun> runs(std::size(rows));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    threads.emplace_back([&, i] {
      runs[i] =
          RunHelper({"do_test_with_fake", rows[i].acquire, rows[i].release});
    });
  }
  for (auto& t : threads) t.join();

  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const TimedRun& run = runs[i];
    SCOPED_TRACE(std::string("acquire ") + row.acquire + ", release " +
                 row.release);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, kHelperOk);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back().message, row.calls);

    const auto by_name = WorkerLines(run);
    ASSERT_EQ(by_name.size(), 5u);
    for (const auto& [name, lines] : by_name) {
      std::vector<std::string> expected = {"entering TestThread [lock=" + name +
                                           "]"};
      expected.insert(expected.end(), row.middle.begin(), row.middle.end());
      expected.push_back("exiting TestThread [lock=" + name +
                         " rv=" + row.exit_rv + "]");
      std::vector<std::string> got;
      for (const auto& line : lines) got.push_back(line.message);
      EXPECT_EQ(got, expected) << name;
      if (row.middle.empty()) {
        // Pause before acquiring (>= 1000 ms) plus the hold (>= 500 ms), less
        // up to 100 ms by which the first line may be read late.
        EXPECT_GE(lines.back().at_ns - lines.front().at_ns, 1400000000u)
            << name;
      }
    }
  }
}

TEST(ChildRunTest, WorkersThatFailToStartAreReportedAndTheOthersJoined) {
  // The first and the third worker fail to start: the join walk must pass
  // the gaps, or the shared reference would be dropped under running workers.
  const TimedRun run = RunHelper({"do_test_with_fake", "0", "0", "5"});
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, kHelperOk);
  const std::vector<std::string> messages = Messages(run);
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       "failed to start TestThread [lock=foopy]"),
            1);
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       "failed to start TestThread [lock=1]"),
            1);
  const auto joined = std::find(messages.begin(), messages.end(),
                                "joined with all threads; exiting DoTest");
  ASSERT_NE(joined, messages.end());
  for (const char* name : {"test", "xyz", "zib4ever"}) {
    const auto exit =
        std::find(messages.begin(), messages.end(),
                  std::string("exiting TestThread [lock=") + name + " rv=0]");
    EXPECT_LT(exit, joined) << name;
  }
  EXPECT_EQ(messages.back(), "calls acquire=3 release=3 references=1 rv=0");
}

TEST(ChildRunTest, MissingServicesEndTheRunBeforeAnyWorker) {
  const TimedRun no_queue = RunHelper({"child_without", "event-queue"});
  ASSERT_FALSE(no_queue.timed_out);
  EXPECT_EQ(no_queue.status, 0);
  EXPECT_EQ(Messages(no_queue), std::vector<std::string>{"running child test"});

  const TimedRun no_lock = RunHelper({"child_without", "lock"});
  ASSERT_FALSE(no_lock.timed_out);
  EXPECT_EQ(no_lock.status, 0);
  EXPECT_EQ(Messages(no_lock), std::vector<std::string>{"running child test"});
}

}  // namespace
