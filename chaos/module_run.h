// wendlemoor-chaos over a lock module (components/module.h): the options
// that name a module, the worker that takes its lock service from it, the
// measure of its warm cost, and the report card (chaos/card.h).
//
//   --module PATH [run options]   a run over the module's lock service
//   --module PATH --worker ...    one of that run's workers
//   --module PATH --cost          the warm acquire+release cost, alone
//   --card [--module PATH]... [--modules DIR] [--command CMD]...
//          [--faults LIST] [--out DIR] [--grace S]
//                                 the report card
//   --result FILE, --log FILE     the verdict as JSON (with --card, the
//                                 card's); standard output and error to FILE
//
// A module that cannot be loaded is refused before any worker starts: one
// line on standard error naming the file and the cause, status 2. The run
// process loads the module too, to call its cleanup for the run's lock
// folder once every worker has ended (interrupted or not), in a child
// process of its own and with a deadline: a cleanup that crashes or hangs is
// reported, and the run still ends. The cost measurement does the same and
// removes its folder.
//
// Thread safety: RunModuleCommand takes over the process and runs once, on
// the main thread.
#ifndef WENDLEMOOR_CHAOS_MODULE_RUN_H_
#define WENDLEMOOR_CHAOS_MODULE_RUN_H_

namespace wendlemoor {

// The module options' usage lines, shown after the run's own.
extern const char kModuleUsage[];

// When `argv` holds one of the options above, does what it asks, sets
// `*status` to the exit status and returns true; otherwise returns false
// and does nothing.
bool RunModuleCommand(int argc, char** argv, int* status);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_MODULE_RUN_H_
