// Standard descriptors on POSIX systems: a closed one is opened on /dev/null.
#include "driver/standard_streams.h"

#include <fcntl.h>

#include <cerrno>

bool PrepareStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (errno != EBADF) return false;
    // Inherited by our children like any standard descriptor: no O_CLOEXEC.
    // The lower ones are open, so the lowest free number is `fd`.
    if (open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}
