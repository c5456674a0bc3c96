// The mechanism modules (modules/): what the adversary's run does not ask of
// them. Each takes any name bytes and keeps lookalike names apart, refuses
// bad names, and its cleanup leaves nothing of the folder's outside it.
#include <dirent.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "components/lock_service.h"
#include "components/module_loader.h"
#include "gtest/gtest.h"
#include "tests/run_capture.h"

namespace wendlemoor {
namespace {

enum class Outside { kNothing, kPosixSemaphores, kSystemVSets };

std::string Hex(const std::string& name) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : name) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Whether /dev/shm holds a semaphore whose name ends with `suffix`.
bool SemaphoreEndingIn(const std::string& suffix) {
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* d = readdir(dir)) {
    const std::string entry = d->d_name;
    found |=
        entry.rfind("sem.", 0) == 0 && entry.size() >= suffix.size() &&
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0;
  }
  closedir(dir);
  return found;
}

TEST(LockModulesTest, NamesStayApartBadNamesAreRefusedAndCleanupLeavesNothing) {
  struct Row {
    const char* module;
    Outside outside;
  };
  const Row rows[] = {
      {"flock-each", Outside::kNothing},
      {"flock-shared", Outside::kNothing},
      {"fcntl", Outside::kNothing},
      {"lockf", Outside::kNothing},
      {"ofd-unhealed", Outside::kNothing},
      {"posix-semaphore", Outside::kPosixSemaphores},
      {"sysv-semaphore", Outside::kSystemVSets},
      {"robust-mutex", Outside::kNothing},
      {"pid-file", Outside::kNothing},
      {"grant-all", Outside::kNothing},
  };
  // A name of this process alone, so that no other run's objects count.
  const std::string probe = "probe/" + std::to_string(getpid());
  const std::string longest(kLockNameMax, '\xff');
  const std::string too_long(kLockNameMax + 1, 'x');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.module);
    const std::string path =
        std::string(WENDLEMOOR_MODULES) + "/" + row.module + ".so";
    std::shared_ptr<LockModule> module;
    std::string error;
    ASSERT_EQ(LoadLockModule(path.c_str(), &module, &error), kOk) << error;
    EXPECT_EQ(module->name(), row.module);
    TempDir temp;
    ASSERT_FALSE(temp.path().empty());
    LockService* lock = nullptr;
    ASSERT_EQ(CreateModuleLockService(module, temp.path().c_str(), &lock), kOk);

    for (const char* bad :
         {static_cast<const char*>(nullptr), "", too_long.c_str()}) {
      EXPECT_EQ(lock->AcquireLock(bad, 0), kErrorInvalidArgument);
      EXPECT_EQ(lock->ReleaseLock(bad), kErrorInvalidArgument);
    }
    // Held together, so each is a lock of its own; every byte value may be
    // in a name.
    const std::string names[] = {"a/b", "a%2Fb", "a_b", "..", longest, probe};
    for (const std::string& name : names) {
      EXPECT_EQ(lock->AcquireLock(name.c_str(), 0), kOk) << Hex(name);
    }
    key_t key = -1;
    if (row.outside == Outside::kSystemVSets) {
      key = ftok((temp.path() + "/" + Hex(probe)).c_str(), 'W');
      EXPECT_NE(semget(key, 0, 0), -1);
    }
    if (row.outside == Outside::kPosixSemaphores) {
      EXPECT_TRUE(SemaphoreEndingIn(Hex(probe)));
    }
    for (const std::string& name : names) {
      EXPECT_EQ(lock->ReleaseLock(name.c_str()), kOk) << Hex(name);
    }
    lock->Release();
    module->Cleanup(temp.path().c_str());
    EXPECT_FALSE(SemaphoreEndingIn(Hex(probe)));
    if (key != -1) {
      EXPECT_EQ(semget(key, 0, 0), -1);
      EXPECT_EQ(errno, ENOENT);
    }
    // Nothing but the names' own files in the folder.
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
      const std::string file = entry.path().filename().string();
      EXPECT_EQ(file.find_first_not_of("0123456789abcdef"), std::string::npos)
          << file;
    }
  }
}

}  // namespace
}  // namespace wendlemoor
