// A worker process of the chaos run (chaos/run.h): the executable started
// again with the worker command, whose threads take names at random and
// inject the faults that strike from inside a holder.
//
// Thread safety: RunChaosWorker takes over the process (signal mask,
// children) and runs once per process, on the main thread.
#ifndef WENDLEMOOR_CHAOS_WORKER_H_
#define WENDLEMOOR_CHAOS_WORKER_H_

#include <string>
#include <vector>

#include "chaos/run.h"

// A worker process: `arguments` are those RunChaos gave it. Returns its exit
// status: 0 after the run's end, 3 when it could not start (the reason on
// standard error).
int RunChaosWorker(const std::vector<std::string>& arguments,
                   ChaosServiceFactory factory);

#endif  // WENDLEMOOR_CHAOS_WORKER_H_
