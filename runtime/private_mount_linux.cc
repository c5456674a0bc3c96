#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/eintr.h"
#include "runtime/private_mount.h"

namespace {

// Writes `text` to the /proc file `path`; returns false with errno set.
bool WriteProcFile(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const std::size_t length = std::strlen(text);
  const ssize_t n = RetryOnEintr([&] { return write(fd, text, length); });
  const int error = errno;
  (void)close(fd);  // never retried; see runtime/eintr.h
  errno = error;
  return n == static_cast<ssize_t>(length);
}

// Enters a mount namespace: directly where allowed, else inside a user
// namespace in which this process keeps its own user and group.
bool EnterMountNamespace() {
  if (unshare(CLONE_NEWNS) == 0) return true;
  if (errno != EPERM) return false;
  const unsigned uid = geteuid();
  const unsigned gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == -1) return false;
  char map[64];
  // The group map may be written only once setgroups is denied.
  if (!WriteProcFile("/proc/self/setgroups", "deny")) return false;
  std::snprintf(map, sizeof map, "%u %u 1\n", uid, uid);
  if (!WriteProcFile("/proc/self/uid_map", map)) return false;
  std::snprintf(map, sizeof map, "%u %u 1\n", gid, gid);
  return WriteProcFile("/proc/self/gid_map", map);
}

}  // namespace

JX_Status JX_MountPrivateFolder(const char* path) {
  const bool created = mkdir(path, 0700) == 0;
  if (!created && errno != EEXIST) return JX_FAILURE;
  // Nothing mounted from here on may show through to the rest of the machine.
  if (!EnterMountNamespace() ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
    return JX_FAILURE;
  }
  // Opened only now, in the new namespace, where the mount must land. The
  // mount goes through the descriptor: it lands on the folder that was
  // opened, never on what a link put there since points to.
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) return JX_FAILURE;
  char target[64];
  std::snprintf(target, sizeof target, "/proc/self/fd/%d", fd);
  char options[64];
  std::snprintf(options, sizeof options, "mode=0700,uid=%u,gid=%u",
                static_cast<unsigned>(geteuid()),
                static_cast<unsigned>(getegid()));
  // A folder made here is 0700 whatever the umask, as the lock service would
  // have made it, for when the machine's view of it is used later.
  const bool ok = (!created || fchmod(fd, 0700) == 0) &&
                  mount("wendlemoor-private", target, "tmpfs", 0, options) == 0;
  const int error = errno;
  (void)close(fd);  // never retried; see runtime/eintr.h
  errno = error;
  return ok ? JX_SUCCESS : JX_FAILURE;
}
