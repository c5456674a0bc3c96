// A seam in the start of every thread of the test binary, to make chosen
// starts fail as if the system had run out of threads.
//
// POSIX only: the test binary is linked with --wrap=pthread_create, so every
// pthread_create in it (the runtime's thread starts, and GoogleTest's and the
// standard library's) goes through thread_start_seam_posix.cc first. Safe to
// call from any thread.
#ifndef WENDLEMOOR_TESTS_THREAD_START_SEAM_H_
#define WENDLEMOOR_TESTS_THREAD_START_SEAM_H_

// Counts thread starts from 0 again and makes the i-th start from now fail
// with EAGAIN for every set bit i of `mask` (the first 32 starts); 0 lets
// every start through.
void FailThreadStarts(unsigned mask);

#endif  // WENDLEMOOR_TESTS_THREAD_START_SEAM_H_
