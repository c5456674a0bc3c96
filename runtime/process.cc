// What every platform's process code shares: the wait that kills at its
// deadline, made of the platform's wait and kill.
#include "runtime/process.h"

JX_Status JX_WaitProcessOrKill(JX_Process process, std::uint32_t timeout_ms,
                               int* exit_code) {
  const JX_Status waited = JX_WaitProcessFor(process, timeout_ms, exit_code);
  if (waited != JX_TIMED_OUT) return waited;
  // A process that ended since the deadline is not reaped yet: the kill
  // still reaches its group or job, and the wait reports its own code.
  (void)JX_KillProcess(process);
  return JX_WaitProcess(process, exit_code) == JX_SUCCESS ? JX_TIMED_OUT
                                                          : JX_FAILURE;
}
