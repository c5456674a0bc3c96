// The thread start seam (thread_start_seam.h): the test binary's link option
// --wrap=pthread_create sends every pthread_create here, and __real_ is the
// system's.
#include "tests/thread_start_seam.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<unsigned> gFailThreadStarts{0};
std::atomic<unsigned> gThreadStarts{0};

}  // namespace

void FailThreadStarts(unsigned mask) {
  gThreadStarts = 0;
  gFailThreadStarts = mask;
}

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
