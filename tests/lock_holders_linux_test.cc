// Lock folder snapshots: the holder, its waiters and the hand-over, free
// names, and what the wendlemoor-locks tool prints or refuses.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "components/lock_holders.h"
#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"
#include "tests/lock_helpers.h"
#include "tests/run_capture.h"

using wendlemoor::CreateLockService;
using wendlemoor::DefaultLockFolder;
using wendlemoor::InterfacePtr;
using wendlemoor::kLockNameMax;
using wendlemoor::kOk;
using wendlemoor::LockRow;
using wendlemoor::LockService;
using wendlemoor::SnapshotResult;
using wendlemoor::TakeLockSnapshot;

namespace {

constexpr int kDeadlineMs = 60000;

// Starts a helper that takes `name` in `folder`, waiting for it.
Helper StartTaker(const std::string& folder, const std::string& name) {
  return Start("lock_hold", {folder, name, "1"});
}

bool SaysHeld(const Helper& taker) { return ReadCode(taker) == kOk; }

// The folder's snapshot once `name` has `waiting` waiters (blocked requests
// appear a moment after their helper starts), or the last one taken.
std::vector<LockRow> SnapshotWhen(const std::string& folder,
                                  const std::string& name, int waiting) {
  std::vector<LockRow> rows;
  for (int ms = 0; ms < kDeadlineMs; ms += 2) {
    int error = 0;
    EXPECT_EQ(TakeLockSnapshot(folder.c_str(), &rows, &error),
              SnapshotResult::kOk);
    for (const LockRow& row : rows) {
      if (row.name == name && row.waiting == waiting) return rows;
    }
    JX_Sleep(2000);
  }
  return rows;
}

// A row as "name|state|holder|command|waiting".
std::string Show(const LockRow& row) {
  return row.name + (row.held ? "|held|" : "|free|") +
         std::to_string(row.holder) + "|" + row.command + "|" +
         std::to_string(row.waiting);
}

std::string OwnCommand() {
  std::string command;
  std::getline(std::ifstream("/proc/self/comm"), command);
  return command;
}

TEST(LockHoldersTest, RowShowsHolderAndWaitersThenTheNextHolder) {
  TempDir dir;
  std::string folder = dir.path();
  // On the private lock folder's fresh tmpfs where there is one: the minor
  // number of its anonymous device is past 9, where hex and decimal differ.
  if (gPrivateLockFolder) {
    folder = DefaultLockFolder() + "/holders-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
  }
  const std::string name = "who holds/it";
  // A name taken and given back is free, whatever descriptors stay open; a
  // file that is no lock file has no row.
  auto service =
      InterfacePtr<LockService>::Adopt(CreateLockService(folder.c_str()));
  ASSERT_EQ(service->AcquireLock("free one", 0), kOk);
  ASSERT_EQ(service->ReleaseLock("free one"), kOk);
  std::ofstream(folder + "/not%2fours").close();
  // A second held name with a waiter: each line of /proc/locks is a holder
  // or a waiter of its own.
  ASSERT_EQ(service->AcquireLock("held too", 0), kOk);
  Helper second = StartTaker(folder, "held too");
  SnapshotWhen(folder, "held too", 1);

  Helper first = StartTaker(folder, name);
  ASSERT_TRUE(SaysHeld(first));
  // A descriptor open on the file without a lock, as the service may keep
  // after a release, is no hold; this process is found before the helpers.
  const int idle =
      open((folder + "/who%20holds%2Fit").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(idle, -1);
  Helper waiters[2] = {StartTaker(folder, name), StartTaker(folder, name)};
  std::vector<LockRow> rows = SnapshotWhen(folder, name, 2);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(Show(rows[0]), "free one|free|0||0");
  EXPECT_EQ(Show(rows[1]), "held too|held|" + std::to_string(getpid()) + "|" +
                               OwnCommand() + "|1");
  EXPECT_EQ(Show(rows[2]), name + "|held|" + std::to_string(first.pid) + "|" +
                               OwnCommand() + "|2");

  EXPECT_EQ(Finish(first), kHelperOk);
  pollfd p[2] = {{waiters[0].report, POLLIN, 0},
                 {waiters[1].report, POLLIN, 0}};
  ASSERT_GE(poll(p, 2, kDeadlineMs), 1);
  const int next = p[0].revents != 0 ? 0 : 1;
  ASSERT_TRUE(SaysHeld(waiters[next]));
  rows = SnapshotWhen(folder, name, 1);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(Show(rows[2]), name + "|held|" + std::to_string(waiters[next].pid) +
                               "|" + OwnCommand() + "|1");

  EXPECT_EQ(Finish(waiters[next]), kHelperOk);
  ASSERT_TRUE(SaysHeld(waiters[1 - next]));
  EXPECT_EQ(Finish(waiters[1 - next]), kHelperOk);
  ASSERT_EQ(service->ReleaseLock("held too"), kOk);
  ASSERT_TRUE(SaysHeld(second));
  EXPECT_EQ(Finish(second), kHelperOk);
  close(idle);
  if (folder != dir.path()) std::filesystem::remove_all(folder);
}

TEST(LockHoldersTest, ToolPrintsTheTableOrOneLineNamingTheProblem) {
  TempDir dir;
  const std::string& base = dir.path();
  ASSERT_EQ(mkdir((base + "/private").c_str(), 0700), 0);
  // A space is escaped too: the row stays one field per column. A file name
  // longer than any lock name is no lock file.
  for (const std::string& file : {std::string("a%1Bb"), std::string("a%20b"),
                                  std::string(kLockNameMax + 1, 'a')}) {
    ASSERT_NE(dir.WriteFile("private/" + file, "", 0600), "");
  }
  ASSERT_EQ(symlink((base + "/private").c_str(), (base + "/link").c_str()), 0);
  for (const auto& [folder, mode] :
       {std::pair{"/open", 0755}, {"/group", 0750}, {"/others", 0705}}) {
    ASSERT_EQ(mkdir((base + folder).c_str(), 0700), 0);
    ASSERT_EQ(chmod((base + folder).c_str(), mode), 0);
  }
  ASSERT_NE(dir.WriteFile("file", "", 0600), "");

  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // standard output, whole
    std::string err;  // the start of standard error
  };
  const std::string tool = "wendlemoor-locks: " + base;
  const Row rows[] = {
      {{base + "/private"},
       0,
       "NAME    STATE  PID  COMMAND  WAITING\n"
       "a\\x1Bb  free     -  -              0\n"
       "a\\x20b  free     -  -              0\n",
       ""},
      {{base + "/missing"}, 1, "", tool + "/missing: does not exist\n"},
      {{base + "/file"}, 1, "", tool + "/file: is not a folder\n"},
      {{base + "/link"}, 1, "", tool + "/link: is a symbolic link"},
      {{base + "/open"}, 1, "", tool + "/open: is not private: group or"},
      {{base + "/group"}, 1, "", tool + "/group: is not private: group or"},
      {{base + "/others"}, 1, "", tool + "/others: is not private: group or"},
      {{"--frobnicate"}, 2, "", "usage: wendlemoor-locks"},
      {{base + "/private", base + "/private"},
       2,
       "",
       "usage: wendlemoor-locks"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments[0]);
    // Standard error goes to the capture, standard output to a file.
    const std::string out_path = base + "/out";
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "\"$0\" \"$@\" 2>&1 >'" + out_path + "'",
                                     WENDLEMOOR_LOCKS_BINARY};
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    const RunResult run = RunCapture(argv, "", kDeadlineMs);
    std::stringstream out;
    out << std::ifstream(out_path).rdbuf();
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.output.substr(0, row.err.size()), row.err);
    EXPECT_TRUE(row.status != 1 || SplitLines(run.output).size() == 1);
    EXPECT_EQ(out.str(), row.out);
  }
  struct stat st;
  EXPECT_NE(lstat((base + "/missing").c_str(), &st), 0);
  EXPECT_TRUE(lstat((base + "/open").c_str(), &st) == 0 &&
              (st.st_mode & 0777) == 0755);
}

}  // namespace
