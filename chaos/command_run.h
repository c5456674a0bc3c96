// wendlemoor-chaos over an adapter program (chaos/adapter.h,
// docs/adapter-protocol.md): a lock in any language, driven by lines.
//
//   --command CMD [run options]   a run whose workers each drive CMD
//   --command CMD --worker ...    one of that run's workers
//
// Each worker of the run (chaos/worker.h) is this executable, whose lock
// service is a stand-in that sends every call to an adapter process of its
// own and returns its answer as a result code; a second service instance is
// a second adapter process. The worker records the history as for any lock:
// a hold starts once the adapter's answer to the acquisition has arrived and
// ends before the release is sent, so every recorded hold lies inside the
// adapter's real one.
//
// Before the run, the command is started once on its own: a command that
// cannot be started, exits, never greets, greets with another protocol
// version or answers a line that does not parse is refused with one line on
// standard error naming the command and the cause, status 2. The faults the
// adapter does not support are left out of the run (a note on standard
// output says which), under "--faults all" as by default; naming one of
// them with --faults is refused the same way. An adapter that fails later
// makes its worker give up (GiveUpChaosWorker): a finding in the verdict.
//
// Thread safety: RunCommandCommand takes over the process and runs once, on
// the main thread.
#ifndef WENDLEMOOR_CHAOS_COMMAND_RUN_H_
#define WENDLEMOOR_CHAOS_COMMAND_RUN_H_

#include <cstdint>
#include <string>

#include "chaos/adapter.h"
#include "chaos/fault.h"

namespace wendlemoor {

// The adapter options' usage lines, shown after the run's own.
extern const char kCommandUsage[];

// When `argv` holds one of the options above, does what it asks, sets
// `*status` to the exit status and returns true; otherwise returns false
// and does nothing.
bool RunCommandCommand(int argc, char** argv, int* status);

// Starts `command` once in a scratch folder and reads its greeting and the
// answer to one request. Returns true with its features, or false with the
// cause in `*error`.
bool ProbeAdapter(const std::string& command, AdapterFeatures* features,
                  std::string* error);

// The faults an adapter with `features` can be put under: those whose
// greeting word it says (FaultClass::greeting).
FaultSet AdapterFaults(const AdapterFeatures& features);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_COMMAND_RUN_H_
