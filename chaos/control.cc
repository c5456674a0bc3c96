#include "chaos/control.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace wendlemoor {

ChaosControl* MapControl(const std::string& path, bool create) {
  const int fd =
      open(path.c_str(),
           O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
  if (fd == -1) return nullptr;
  void* page = MAP_FAILED;
  if (!create || ftruncate(fd, sizeof(ChaosControl)) == 0) {
    page = mmap(nullptr, sizeof(ChaosControl), PROT_READ | PROT_WRITE,
                MAP_SHARED, fd, 0);
  }
  const int error = errno;
  close(fd);  // the mapping stays; close is never retried (runtime/eintr.h)
  if (page == MAP_FAILED) {
    errno = error;
    return nullptr;
  }
  // A fresh file reads as zeros: every count 0, the gate open.
  return static_cast<ChaosControl*>(page);
}

void WaitAtGate(ChaosControl* control, std::uint64_t max_ns) {
  if (control->gate.load() == 0) return;
  struct timespec timeout = {time_t(max_ns / 1000000000u),
                             long(max_ns % 1000000000u)};
  // Not a private futex: the word is shared between processes. Returns at
  // once when the gate opened meanwhile; a signal or the timeout ends the
  // wait early, and the caller looks at the gate again.
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&control->gate),
          FUTEX_WAIT, 1u, &timeout, nullptr, 0);
}

void OpenGate(ChaosControl* control) {
  control->gate.store(0);
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&control->gate),
          FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

std::string ChaosLockName(int i) { return "chaos-" + std::to_string(i); }

bool RemoveTree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return errno == ENOENT;
  bool ok = true;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    ok = RemoveTree(path + "/" + name) && ok;
  }
  closedir(dir);
  return (rmdir(path.c_str()) == 0 || errno == ENOENT) && ok;
}

}  // namespace wendlemoor
