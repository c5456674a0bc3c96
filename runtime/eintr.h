// The one place for the EINTR policy.
//
// Blocking system calls that may be interrupted by a signal handler (waitpid,
// blocking fcntl, write, read) are wrapped in retries through
// RetryOnEintr. close() is never retried: on Linux the descriptor is gone even
// when close reports EINTR, and a retry could close a descriptor that another
// thread has just opened under the same number.
#ifndef WENDLEMOOR_RUNTIME_EINTR_H_
#define WENDLEMOOR_RUNTIME_EINTR_H_

#include <cerrno>

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

#endif  // WENDLEMOOR_RUNTIME_EINTR_H_
