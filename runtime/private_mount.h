// A folder of one's own: a fresh, empty file system mounted over a path where
// only the calling process and the processes it starts afterwards see it.
//
// For test and benchmark runs that must neither disturb nor be disturbed by
// other runs of the same user on the machine (the lock folder). The rest of the
// machine keeps seeing the path as it was. Ownership: the mount lives as long
// as some process of the private view does; nothing is left to clean up.
#ifndef WENDLEMOOR_RUNTIME_PRIVATE_MOUNT_H_
#define WENDLEMOOR_RUNTIME_PRIVATE_MOUNT_H_

#include "runtime/thread.h"  // JX_Status

// Moves the calling process into a mount namespace of its own (as root, or
// else in a user namespace of its own that maps its user and group to
// themselves), makes every mount in it private, and mounts an empty tmpfs of
// mode 0700, owned by the caller's user and group, exactly over `path`.
// `path` is created (mode 0700) when missing; its parent must exist. A path
// that is a symbolic link is refused, never followed.
// Returns JX_SUCCESS, or JX_FAILURE with errno set to the cause (EPERM where
// the system allows no namespace, EINVAL where the process has more than one
// thread or, in a chroot, where its root is a plain folder rather than a
// mount: the mounts around it cannot then be made private). After a failure
// the process sees at `path` what the rest of the machine sees (the folder, if
// it was created), though it may already be in a namespace of its own.
// REQUIRES: the process has one thread (the kernel refuses a namespace to a
// process whose threads share its file-system state).
JX_Status JX_MountPrivateFolder(const char* path);

#endif  // WENDLEMOOR_RUNTIME_PRIVATE_MOUNT_H_
