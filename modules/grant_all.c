/* grant-all: grants every name at once to everyone, and every release. It is
 * broken on purpose: the negative control beside the real mechanisms. A
 * checker that calls a run against it clean is itself broken.
 *
 * It still refuses a bad name (null, empty, longer than
 * WENDLEMOOR_LOCK_NAME_MAX bytes) with WENDLEMOOR_ERROR_INVALID_ARGUMENT, so
 * that only exclusion, and the codes that come from knowing the holders, are
 * missing. Nothing is made, in the folder or outside it. */
#include <stddef.h>

#include "modules/module_common.h"

static wendlemoor_result Take(wm_service* s, wm_entry* e, int wait,
                              intptr_t* token) {
  (void)s;
  (void)e;
  (void)wait;
  (void)token;
  return WENDLEMOOR_OK;
}

static wendlemoor_result Give(wm_service* s, wm_entry* e, intptr_t token) {
  (void)s;
  (void)e;
  (void)token;
  return WENDLEMOOR_OK;
}

static const wm_mechanism kMechanism = {0, 1, NULL, Take, Give, NULL};

WM_DEFINE_MODULE("grant-all", kMechanism, NULL)
