// Lock service: exclusion across processes and threads, misuse, names, and
// folders that are not private.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "components/lock_file_table.h"
#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"
#include "tests/lock_helpers.h"
#include "tests/timed_holds.h"

using wendlemoor::InterfacePtr;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockFolderUnusable;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kOk;
using wendlemoor::LockFileTable;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

namespace {

constexpr int kDeadlineMs = kLockDeadlineMs;

// Arguments: folder, name, count, hold in microseconds, start descriptor.
// Prints "acquired released" monotonic times of every hold.
WENDLEMOOR_HELPER_ROLE(lock_intervals) {
  auto service = NewService(arguments[0]);
  WaitForControl(arguments[4]);
  return TakeTimedHolds(service.get(), arguments[1].c_str(),
                        std::stoi(arguments[2]), std::stoul(arguments[3]));
}

// Arguments: folder, name, control descriptor. Takes the name warm (a kept
// description), forks a child that lives until the control pipe closes, and
// reports "code child-pid"; then holds until the control pipe closes.
WENDLEMOOR_HELPER_ROLE(lock_hold_and_fork) {
  auto service = NewService(arguments[0]);
  const char* name = arguments[1].c_str();
  ResultCode code = service->AcquireLock(name, 1);
  if (code == kOk) code = service->ReleaseLock(name);
  if (code == kOk) code = service->AcquireLock(name, 1);
  // The child's fork handler has closed its copies of the lock files by the
  // time it runs its first line of code; the report waits for that line.
  int running[2];
  if (pipe2(running, O_CLOEXEC) != 0) return kHelperFailed;
  const pid_t child = fork();
  if (child == 0) {
    close(running[0]);
    close(running[1]);
    WaitForControl(arguments[2]);
    _exit(0);
  }
  close(running[1]);
  char byte;
  RetryOnEintr([&] { return read(running[0], &byte, 1); });
  std::printf("%x %d\n", code, static_cast<int>(child));
  std::fflush(stdout);
  WaitForControl(arguments[2]);
  return kHelperOk;
}

// True once /proc/locks shows someone blocked on the file's inode.
bool SomeoneWaitsOn(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  for (int ms = 0; ms < kDeadlineMs; ++ms) {
    if (SomeoneWaitsOnAny({LockKey(st)})) return true;
    JX_Sleep(1000);
  }
  return false;
}

// The files in `folder` this process has open, by descriptor, with their
// names.
std::map<int, std::string> OpenFilesIn(const std::string& folder) {
  std::map<int, std::string> files;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;  // the iterator's own descriptor
    const std::string target = std::filesystem::read_symlink(fd, gone);
    if (target.rfind(folder + "/", 0) != 0) continue;
    files[std::stoi(fd.path().filename())] = target.substr(folder.size() + 1);
  }
  return files;
}

class LockServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    char base[] = "/tmp/wendlemoor-lock-test-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    base_ = base;
    folder_ = base_ + "/locks";
    service_ = NewService(folder_);
    ASSERT_TRUE(service_);
  }
  void TearDown() override {
    service_.reset();
    std::filesystem::remove_all(base_);
  }
  static std::size_t Entries(const std::string& folder) {
    auto it = std::filesystem::directory_iterator(folder);
    return std::distance(begin(it), end(it));
  }

  std::string base_, folder_;
  InterfacePtr<LockService> service_;
};

TEST_F(LockServiceTest, HoldsOfFourProcessesNeverOverlap) {
  constexpr int kHelpers = 4, kHolds = 50;
  int start[2];
  ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
  std::vector<Helper> helpers;
  for (int i = 0; i < kHelpers; ++i) {
    helpers.push_back(Start("lock_intervals",
                            {folder_, "shared", std::to_string(kHolds), "200"},
                            start[0]));
  }
  close(start[1]);  // all begin together
  close(start[0]);
  std::vector<std::string> reports;
  for (Helper& helper : helpers) {
    reports.push_back(Read(helper.report, false));
    EXPECT_EQ(Finish(helper), kHelperOk);
  }
  ExpectHoldsNeverOverlap(reports, kHelpers * kHolds);
}

TEST_F(LockServiceTest, WaiterGetsTheLockWhenTheHolderIsKilled) {
  Helper holder = Start("lock_hold", {folder_, "n", "1"});
  ASSERT_EQ(ReadCode(holder), kOk);
  // Busy at once: a wait for this holder would never end. The bound leaves
  // room for a stalled machine.
  const std::uint64_t begin = JX_MonotonicNanos();
  ASSERT_EQ(service_->AcquireLock("n", 0), kErrorLockBusy);
  EXPECT_LT(JX_MonotonicNanos() - begin, 10000000000u);

  Helper waiter = Start("lock_hold", {folder_, "n", "1"});
  ASSERT_TRUE(SomeoneWaitsOn(folder_ + "/n"));
  EXPECT_EQ(Read(waiter.report, true, 0), "");  // still waiting
  kill(holder.pid, SIGKILL);
  EXPECT_EQ(ReadCode(waiter), kOk);
  EXPECT_EQ(Finish(holder), -SIGKILL);
  EXPECT_EQ(Finish(waiter), kHelperOk);
  EXPECT_EQ(service_->AcquireLock("n", 0), kOk);
}

// Gives this process a mount namespace of its own in which the user's
// session folder, /run/user/<uid>, exists; false where it may not.
bool EnterNamespaceWithSessionFolder() {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  const std::string run_user = std::filesystem::exists("/run/user")
                                   ? "/run/user"
                                   : "/run";  // a fresh /run then holds it
  if (mount("wendlemoor-test", run_user.c_str(), "tmpfs", 0, "mode=0755") !=
      0) {
    return false;
  }
  const std::string session = "/run/user/" + std::to_string(geteuid());
  return (run_user == "/run/user" || mkdir("/run/user", 0755) == 0) &&
         mkdir(session.c_str(), 0700) == 0;
}

TEST_F(LockServiceTest, ProcessesStartedBeforeAndAfterTheSessionFolderAgree) {
  const std::string name = "session-" + std::to_string(getpid());
  const std::string session = "/run/user/" + std::to_string(geteuid());
  if (std::filesystem::exists(session)) GTEST_SKIP() << session << " exists";
  Helper before = Start("lock_hold", {"-", name, "1"});
  ASSERT_EQ(ReadCode(before), kOk);
  if (!EnterNamespaceWithSessionFolder()) {
    Finish(before);
    GTEST_SKIP() << "no mount namespace of our own to make " << session;
  }
  Helper after = Start("lock_hold", {"-", name, "0"});
  EXPECT_EQ(ReadCode(after), kErrorLockBusy);
  EXPECT_EQ(Finish(after), kHelperOk);
  EXPECT_EQ(Finish(before), kHelperOk);
}

TEST_F(LockServiceTest, ChildStartedWhileHoldingInheritsNoDescriptor) {
  ASSERT_EQ(service_->AcquireLock("n", 1), kOk);
  // An empty name fails before the child's service opens anything.
  Helper child = Start("lock_hold", {folder_, "", "1"});
  ASSERT_EQ(ReadCode(child), kErrorInvalidArgument);
  const std::string fds = "/proc/" + std::to_string(child.pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    const std::string target = std::filesystem::read_symlink(entry).string();
    EXPECT_EQ(target.find(folder_), target.npos) << target;
  }
  EXPECT_EQ(Finish(child), kHelperOk);
  EXPECT_EQ(service_->ReleaseLock("n"), kOk);
}

void* HoldAndExit(void* service) {
  static_cast<LockService*>(service)->AcquireLock("exits", 1);
  pthread_exit(nullptr);
}

TEST_F(LockServiceTest, LocksDieWithTheirThreadAndProcessNotWithHeirs) {
  // A thread that ends holding a lock, by returning or by pthread_exit, gives
  // it back as it ends: the next thread takes it at once. The first thread
  // takes its name only warm, through the description kept here.
  ASSERT_EQ(service_->AcquireLock("orphan", 1), kOk);
  ASSERT_EQ(service_->ReleaseLock("orphan"), kOk);
  std::thread([&] {
    ASSERT_EQ(service_->AcquireLock("orphan", 1), kOk);
  }).join();
  pthread_t exiting;
  ASSERT_EQ(pthread_create(&exiting, nullptr, HoldAndExit, service_.get()), 0);
  ASSERT_EQ(pthread_join(exiting, nullptr), 0);
  std::thread([&] {
    EXPECT_EQ(service_->ReleaseLock("orphan"), kErrorLockNotHeld);
    EXPECT_EQ(service_->AcquireLock("orphan", 0), kOk);
    EXPECT_EQ(service_->AcquireLock("exits", 0), kOk);
  }).join();

  // A child forked without exec holds none of its parent's locks and cannot
  // release them, yet may take any name itself; so too when other threads
  // were opening, taking and giving back names (more than are kept) as it
  // forked: its table is whole, its mutex free, and no lock file of theirs
  // stays open in it.
  ASSERT_EQ(service_->AcquireLock("parents", 1), kOk);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto busy = [&](int t) {
    for (int i = 0; !stop; ++i) {
      const std::string name = "busy" + std::to_string(t * 100 + i % 40);
      failures += service_->AcquireLock(name.c_str(), 1) != kOk ||
                  service_->ReleaseLock(name.c_str()) != kOk;
    }
  };
  std::thread busy1(busy, 1), busy2(busy, 2);
  for (int round = 0; round < 20 && !HasFailure(); ++round) {
    const pid_t child = fork();
    EXPECT_NE(child, -1);
    if (child == 0) {
      const bool ok = OpenFilesIn(folder_).empty() &&
                      service_->ReleaseLock("parents") == kErrorLockNotHeld &&
                      service_->AcquireLock("parents", 0) == kErrorLockBusy &&
                      service_->AcquireLock("childs", 0) == kOk;
      service_.reset();
      _exit(ok ? kHelperOk : kHelperFailed);
    }
    if (child > 0) {
      EXPECT_EQ(WaitHelper(child, kDeadlineMs), kHelperOk) << "round " << round;
    }
  }
  stop = true;
  busy1.join(), busy2.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(NewService(folder_)->AcquireLock("parents", 0), kErrorLockBusy);
  EXPECT_EQ(service_->ReleaseLock("parents"), kOk);

  // A holder that forks and is killed: its lock dies with it, though the
  // child it forked lives on.
  Helper holder = Start("lock_hold_and_fork", {folder_, "n"});
  std::istringstream report(Read(holder.report, true));
  ResultCode code = kNoReport;
  pid_t heir = -1;
  report >> std::hex >> code >> std::dec >> heir;
  ASSERT_EQ(code, kOk);
  ASSERT_EQ(service_->AcquireLock("n", 0), kErrorLockBusy);
  kill(holder.pid, SIGKILL);
  EXPECT_EQ(WaitHelper(holder.pid, kDeadlineMs), -SIGKILL);
  EXPECT_EQ(kill(heir, 0), 0);  // lives until the control pipe closes
  EXPECT_EQ(service_->AcquireLock("n", 0), kOk);
  close(holder.control);
  close(holder.report);
}

TEST_F(LockServiceTest, DestroyingTheServiceGivesBackItsLocksAndFolder) {
  auto other = NewService(folder_);
  ASSERT_EQ(other->AcquireLock("d", 1), kOk);
  EXPECT_EQ(service_->AcquireLock("d", 0), kErrorLockBusy);
  // A cleaner that takes the folder's lock before emptying it is kept out
  // while any service uses the folder, and let in when none does.
  const int cleaner = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_NE(cleaner, -1);
  EXPECT_EQ(flock(cleaner, LOCK_EX | LOCK_NB), -1);
  other.reset();
  EXPECT_EQ(service_->AcquireLock("d", 0), kOk);
  service_.reset();
  EXPECT_EQ(flock(cleaner, LOCK_EX | LOCK_NB), 0);
  // While the cleaner holds the folder, a new service's first call waits for
  // it, even one that must not wait for the name.
  ResultCode code = kNoReport;
  std::thread late([&] { code = NewService(folder_)->AcquireLock("d", 0); });
  EXPECT_TRUE(SomeoneWaitsOn(folder_));
  close(cleaner);
  late.join();
  EXPECT_EQ(code, kOk);
}

TEST_F(LockServiceTest, KeptFileRemovedUnheldIsNotLockedAgain) {
  // This process keeps the name's description open; a cleaner removes the
  // file, and a fresh process creates and holds the new one.
  ASSERT_EQ(service_->AcquireLock("r", 1), kOk);
  ASSERT_EQ(service_->ReleaseLock("r"), kOk);
  ASSERT_EQ(unlink((folder_ + "/r").c_str()), 0);
  Helper fresh = Start("lock_hold", {folder_, "r", "1"});
  ASSERT_EQ(ReadCode(fresh), kOk);
  EXPECT_EQ(service_->AcquireLock("r", 0), kErrorLockBusy);
  // A wait is a wait on the new file, and ends when its holder lets go.
  ResultCode waited = kNoReport;
  std::thread waiter([&] { waited = service_->AcquireLock("r", 1); });
  EXPECT_TRUE(SomeoneWaitsOn(folder_ + "/r"));
  EXPECT_EQ(Finish(fresh), kHelperOk);
  waiter.join();
  EXPECT_EQ(waited, kOk);
}

TEST_F(LockServiceTest, LongLivedServiceTakesNamesAfterItsFolderIsRemoved) {
  ASSERT_EQ(service_->AcquireLock("kept", 1), kOk);
  ASSERT_EQ(service_->ReleaseLock("kept"), kOk);
  std::filesystem::remove_all(folder_);
  EXPECT_EQ(service_->AcquireLock("new", 0), kOk);
  EXPECT_EQ(service_->AcquireLock("kept", 0), kOk);
  // The folder made afresh is the one fresh processes use, and it carries
  // the shared lock that keeps careful cleaners out.
  Helper fresh = Start("lock_hold", {folder_, "kept", "0"});
  EXPECT_EQ(ReadCode(fresh), kErrorLockBusy);
  EXPECT_EQ(Finish(fresh), kHelperOk);
  const int cleaner = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_NE(cleaner, -1);
  EXPECT_EQ(flock(cleaner, LOCK_EX | LOCK_NB), -1);
  close(cleaner);
  EXPECT_EQ(service_->ReleaseLock("new"), kOk);
  EXPECT_EQ(service_->ReleaseLock("kept"), kOk);

  // A folder that someone else makes in its place is refused untouched
  // until it is private again.
  std::filesystem::remove_all(folder_);
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  EXPECT_EQ(service_->AcquireLock("kept", 0), kErrorLockFolderUnusable);
  EXPECT_EQ(Entries(folder_), 0u);
  ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
  EXPECT_EQ(service_->AcquireLock("kept", 0), kOk);
}

TEST_F(LockServiceTest, LookalikeNamesAreDistinctLocksInsideTheFolder) {
  const std::vector<std::string> names = {"a/b", "a.b",     "a%2Fb", "a_b",
                                          "a%b", ".",       "..",    "../x",
                                          "a b", "\xc3\xa9"};
  // Two names sharing a file would make the second acquire busy.
  for (const auto& name : names) {
    EXPECT_EQ(service_->AcquireLock(name.c_str(), 0), kOk) << name;
  }
  EXPECT_EQ(Entries(folder_), names.size());
  EXPECT_EQ(Entries(base_), 1u);  // the lock folder alone
  for (const auto& name : names) {
    EXPECT_EQ(service_->ReleaseLock(name.c_str()), kOk) << name;
  }
}

TEST_F(LockServiceTest, FolderThatIsNotPrivateIsRefused) {
  const std::string target = base_ + "/target";
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(symlink(target.c_str(), folder_.c_str()), 0);
  EXPECT_EQ(service_->AcquireLock("n", 0), kErrorLockFolderUnusable);
  EXPECT_EQ(Entries(target), 0u);

  ASSERT_EQ(unlink(folder_.c_str()), 0);
  ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  EXPECT_EQ(service_->AcquireLock("n", 0), kErrorLockFolderUnusable);
  EXPECT_EQ(Entries(folder_), 0u);
  // Checked again on every call until the folder is fixed.
  ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
  EXPECT_EQ(service_->AcquireLock("n", 0), kOk);

  // A lock file we may not open counts as not ours. Root, or an ordinary
  // user with every capability in a user namespace (as the tests may run),
  // opens it all the same: the thread that tries has none.
  const std::string closed = folder_ + "/closed";
  std::ofstream(closed).close();
  ASSERT_EQ(chmod(closed.c_str(), 0), 0);
  std::thread([&] {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, caps), 0);
    caps[0].effective = caps[1].effective = 0;
    ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);
    EXPECT_EQ(service_->AcquireLock("closed", 0), kErrorLockFolderUnusable);
  }).join();
  // One of another user's, which only root can make, is refused too.
  if (geteuid() != 0) {
    GTEST_SKIP() << "all but a file of another user's checked: only root can "
                    "make one";
  }
  const std::string theirs = folder_ + "/theirs";
  std::ofstream(theirs).close();
  const int changed = chown(theirs.c_str(), 65534, 65534);
  if (changed != 0 && errno == EINVAL) {
    GTEST_SKIP() << "all but a file of another user's checked: no other user "
                    "exists in this user namespace";
  }
  ASSERT_EQ(changed, 0);
  EXPECT_EQ(service_->AcquireLock("theirs", 0), kErrorLockFolderUnusable);
}

TEST_F(LockServiceTest, RestrictiveUmaskLeavesFolderAndFilesUsable) {
  const mode_t old_mask = umask(0277);
  const std::string folder = base_ + "/masked";
  for (int round = 0; round < 2; ++round) {  // creates, then opens again
    auto service = NewService(folder);
    EXPECT_EQ(service->AcquireLock("m", 0), kOk);
    EXPECT_EQ(service->ReleaseLock("m"), kOk);
  }
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((folder + "/m").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Arguments: folder, control descriptor. With room for only a few more
// descriptors, takes and gives back many names in turn.
WENDLEMOOR_HELPER_ROLE(lock_many_names_few_descriptors) {
  auto service = NewService(arguments[0]);
  if (service->AcquireLock("warm-up", 1) != kOk) return kHelperFailed;
  // The limit at which exactly three descriptor numbers are free below it.
  std::vector<bool> open_fds(1024);
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd < 1024) open_fds[fd] = true;
  }
  rlim_t free_below = 0, limit = 0;
  while (free_below < 3) free_below += !open_fds[limit++];
  rlimit normal;
  if (getrlimit(RLIMIT_NOFILE, &normal) != 0) return kHelperFailed;
  const rlimit low = {limit, normal.rlim_max};
  if (setrlimit(RLIMIT_NOFILE, &low) != 0) return kHelperFailed;
  bool ran_out = false, two_came_back = false;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "many-" + std::to_string(i);
    if (service->AcquireLock(name.c_str(), 1) != kOk) return kHelperFailed;
    // Out of descriptors, every kept one goes back, not only the one the
    // open needs: once they ran out, two are free again now and then.
    int spare[2];
    if (pipe2(spare, O_CLOEXEC) != 0) {
      ran_out = true;
    } else {
      close(spare[0]);
      close(spare[1]);
      two_came_back = two_came_back || ran_out;
    }
    if (service->ReleaseLock(name.c_str()) != kOk) return kHelperFailed;
  }
  // The sanitizers' runtimes need descriptors of their own to finish.
  return setrlimit(RLIMIT_NOFILE, &normal) == 0 && two_came_back
             ? kHelperOk
             : kHelperFailed;
}

TEST_F(LockServiceTest, KeptFilesStayBoundedAndGoBackWhenDescriptorsRunShort) {
  Helper helper = Start("lock_many_names_few_descriptors", {folder_});
  EXPECT_EQ(Finish(helper), kHelperOk);
  // With descriptors to spare, no more lock files stay open than are kept:
  // the least recently used go first. The last names stay, and the first,
  // taken again after each of them, keeps its description all along (marked
  // by its file position).
  for (int i = 0; i < 100; ++i) {
    for (const std::string& name :
         {"bound-" + std::to_string(i), std::string("bound-0")}) {
      ASSERT_EQ(service_->AcquireLock(name.c_str(), 1), kOk);
      ASSERT_EQ(service_->ReleaseLock(name.c_str()), kOk);
    }
    if (i == 0) {
      ASSERT_EQ(lseek(OpenFilesIn(folder_).begin()->first, 1, SEEK_SET), 1);
    }
  }
  std::size_t recent = 0;
  const auto files = OpenFilesIn(folder_);
  for (const auto& [fd, name] : files) {
    const int n = std::atoi(name.c_str() + std::strlen("bound-"));
    recent += n == 0 ? lseek(fd, 0, SEEK_CUR) == 1
                     : n > 100 - static_cast<int>(LockFileTable::kKeptMax);
  }
  EXPECT_EQ(files.size(), LockFileTable::kKeptMax);
  EXPECT_EQ(recent, LockFileTable::kKeptMax);
}

TEST_F(LockServiceTest, SymlinkOrFifoAtALockFileIsRefused) {
  ASSERT_EQ(service_->AcquireLock("first", 0), kOk);  // creates the folder
  const std::string victim = base_ + "/victim", missing = base_ + "/missing";
  std::ofstream(victim) << "keep";
  ASSERT_EQ(symlink(victim.c_str(), (folder_ + "/v").c_str()), 0);
  ASSERT_EQ(symlink(missing.c_str(), (folder_ + "/m").c_str()), 0);
  EXPECT_EQ(service_->AcquireLock("v", 0), kErrorLockFolderUnusable);
  EXPECT_EQ(service_->AcquireLock("m", 0), kErrorLockFolderUnusable);
  std::string content;
  std::ifstream(victim) >> content;
  EXPECT_EQ(content, "keep");
  EXPECT_FALSE(std::filesystem::exists(missing));
  // A FIFO opens like a file: only the check of what was opened refuses it.
  ASSERT_EQ(mkfifo((folder_ + "/f").c_str(), 0600), 0);
  EXPECT_EQ(service_->AcquireLock("f", 1), kErrorLockFolderUnusable);
}

}  // namespace
