// A worker process of the chaos run (chaos/run.h): the executable started
// again with the worker command, whose threads take names at random and
// inject the faults that strike from inside a holder.
//
// Thread safety: RunChaosWorker takes over the process (signal mask,
// children) and runs once per process, on the main thread.
#ifndef WENDLEMOOR_CHAOS_WORKER_H_
#define WENDLEMOOR_CHAOS_WORKER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "chaos/run.h"

namespace wendlemoor {

// A worker process: `arguments` are those RunChaos gave it. Returns its exit
// status: 0 after the run's end, 3 when it could not start (the reason on
// standard error).
int RunChaosWorker(const std::vector<std::string>& arguments,
                   ChaosServiceFactory factory);

// A lock service whose holder lives in another process (an adapter,
// chaos/adapter.h) cannot be forked with this one: the fault "fork while
// holding" is then asked of it through this hook, which makes the holder of
// `name` fork and returns what the child's release of the name and its
// acquisition without waiting returned. Set once, before RunChaosWorker.
using ChaosForkHook = void (*)(LockService* service, const char* name,
                               ResultCode* release, ResultCode* acquire);
void SetChaosForkHook(ChaosForkHook hook);

// The same for the fault "open and close the lock folder's files while
// holding": asked of the holder of `name` through this hook, which returns
// once the files were opened and closed in the holder's process. Set once,
// before RunChaosWorker.
using ChaosOpenCloseHook = void (*)(LockService* service, const char* name);
void SetChaosOpenCloseHook(ChaosOpenCloseHook hook);
// Likewise the fault "spawn while holding": the holder of `name` starts a
// long-running child the way its language does, and the hook returns once
// it has. Set once, before RunChaosWorker.
using ChaosSpawnHook = void (*)(LockService* service, const char* name);
void SetChaosSpawnHook(ChaosSpawnHook hook);
// A lock that gives a fencing token with each grant (an adapter that greets
// "fencing") tells it through this hook, asked by the thread that was just
// granted a name through `service`: true with the grant's token, false when
// the grant came without one. The worker records it (kHoldToken) right
// after the hold's start. Set once, before RunChaosWorker.
using ChaosTokenHook = bool (*)(LockService* service, std::uint64_t* token);
void SetChaosTokenHook(ChaosTokenHook hook);

// Ends the calling worker process when its lock can no longer be used (an
// adapter that failed): records kAdapterFailed with `code`, which ends
// every hold of the process in the history, lets no other thread record
// anything after it, and kills the worker's process group (its adapter
// with it). From any thread of a worker,
// once RunChaosWorker has begun.
[[noreturn]] void GiveUpChaosWorker(std::uint32_t code);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_WORKER_H_
