// The lock benchmark's fixture: a private folder of lock files, the kernel
// primitives the service is built on, used raw, and the service's own calls,
// each dying on failure so that no row is ever measured past an error.
//
// Everything here runs in the benchmark's one thread or in a forked worker,
// which is single-threaded too.
#ifndef WENDLEMOOR_BENCH_LOCK_FIXTURE_H_
#define WENDLEMOOR_BENCH_LOCK_FIXTURE_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "components/interface.h"
#include "components/lock_service.h"
#include "runtime/eintr.h"

inline constexpr int kOpenFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
inline constexpr std::uint64_t kMillisecond = 1000000;
inline constexpr std::uint64_t kSecond = 1000 * kMillisecond;

// Lock names are kept to letters, digits and '_', which the service does not
// escape, so a name is also its lock file's name in the folder and the raw
// variants lock the very file the service would.
inline constexpr char kProbeName[] = "bench_probe";

// Reports a failed result code on standard error and exits with status 2.
[[noreturn]] void DieCode(const char* what, wendlemoor::ResultCode code);

// A private lock folder (mode 0700, as the service demands) that is removed
// with everything in it when the benchmark ends.
class TempFolder {
 public:
  TempFolder() {
    char path[] = "/tmp/wendlemoor-bench-XXXXXX";
    if (mkdtemp(path) == nullptr) Die("mkdtemp");
    path_ = path;
    fd_ = static_cast<int>(
        Check(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC), "open folder"));
  }
  ~TempFolder() {
    // Lock files are left by the service by design; they go with the folder.
    DIR* const dir = fdopendir(fd_);
    if (dir == nullptr) Die("fdopendir");
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 &&
          std::strcmp(entry->d_name, "..") != 0) {
        names.push_back(entry->d_name);
      }
    }
    if (errno != 0) Die("readdir");
    for (const std::string& name : names) {
      Check(unlinkat(fd_, name.c_str(), 0), "unlinkat");
    }
    Check(closedir(dir), "closedir");
    Check(rmdir(path_.c_str()), "rmdir");
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const char* path() const { return path_.c_str(); }
  int fd() const { return fd_; }

  // Device and inode of the lock file `name`, created when missing, for
  // finding its waiters in /proc/locks.
  void Identify(const char* name, dev_t* dev, ino_t* ino) const {
    const int fd = OpenLockFile(name);
    struct stat st;
    Check(fstat(fd, &st), "fstat");
    Check(close(fd), "close");
    *dev = st.st_dev;
    *ino = st.st_ino;
  }

  int OpenLockFile(const char* name) const {
    return static_cast<int>(
        Check(RetryOnEintr([&] { return openat(fd_, name, kOpenFlags, 0600); }),
              "openat"));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// The check after each lock that the file is still linked (one fstat), which
// any lock on these files makes once it must survive their removal; dies
// when the file is not.
void CheckLinked(int fd);

// The primitive the service is built on, with nothing around it but that
// check: a new open file description, a whole-file write lock on it and the
// check; then unlock and close.
struct flock WholeFile(short type);
int RawAcquire(const TempFolder& folder, const char* name);
void RawRelease(int fd);

// The same on a description kept open: lock and unlock alone, the least any
// lock of this kind can cost (the check is the caller's to add).
void KeptLock(int fd);
void KeptUnlock(int fd);

// The same shape with flock, the other lock that belongs to the description;
// and flock on a kept description.
int FlockAcquire(const TempFolder& folder, const char* name);
void FlockRelease(int fd);
void KeptFlock(int fd);
void KeptUnflock(int fd);

wendlemoor::InterfacePtr<wendlemoor::LockService> NewService(
    const TempFolder& folder);
void ServiceAcquire(wendlemoor::LockService* service, const char* name);
void ServiceRelease(wendlemoor::LockService* service, const char* name);

// Whether a name the service reports held is locked in the kernel: a second
// open of its file must be refused both kinds of lock the service may use.
// Rows that time the service mean nothing when it does not lock at all.
bool ServiceLocks(wendlemoor::LockService* service, const TempFolder& folder);

#endif  // WENDLEMOOR_BENCH_LOCK_FIXTURE_H_
