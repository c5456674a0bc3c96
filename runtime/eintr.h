// The one place for the EINTR policy.
//
// Blocking system calls that may be interrupted by a signal handler (waitpid,
// blocking fcntl, write, read) are wrapped in retries through
// RetryOnEintr. close() is never retried: on Linux the descriptor is gone even
// when close reports EINTR, and a retry could close a descriptor that another
// thread has just opened under the same number.
#ifndef WENDLEMOOR_RUNTIME_EINTR_H_
#define WENDLEMOOR_RUNTIME_EINTR_H_

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Calls `call` until it returns something other than -1 with errno EINTR, and
// returns that result; errno is left as the last call set it.
template <typename Call>
auto RetryOnEintr(Call&& call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Writes all `size` bytes of `data` to `fd`, going on after signals and after
// short writes (a pipe or file that took part). Returns true, or false with
// errno set when a write failed; what was written before stays written.
inline bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = RetryOnEintr([&] { return write(fd, data, size); });
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

#endif  // WENDLEMOOR_RUNTIME_EINTR_H_
