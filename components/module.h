/* Component modules: the binary interface between the component system and a
 * shared library that provides services, written in C so that a module can be
 * written in C, or in any language that exports C functions, without the
 * project's C++ headers.
 *
 * A module exports one function, wendlemoor_module_entry (its name is
 * WENDLEMOOR_MODULE_ENTRY_NAME). The host calls it once, right after loading
 * the library, with the ABI version it speaks; the module answers with a
 * table that describes it: its ABI version, its name, and the services it
 * provides. A module of another ABI version is refused before any of its
 * services is created.
 *
 * Services are objects whose first member points to a table of operations
 * in slot order: slots 0-2 are the common base (query_interface, add_ref,
 * release), the slots after them the service's own. The lock service's
 * table is wendlemoor_lock_service_ops: slot 3 acquire_lock, slot 4
 * release_lock, with the same contract as the C++ LockService
 * (components/lock_service.h): the same arguments, the same result codes,
 * the same promises, written out below in C terms. How a module makes a
 * name exclusive is its own choice; components/module_skeleton.c, installed
 * beside this header, is a small module that keeps every promise, to copy.
 *
 * What a lock service promises. A holder is a thread of a process: compare
 * the process ID and a thread identity, never a thread ID alone, which the
 * child of a fork shares with the thread that forked.
 *   - Exclusion: while a thread holds a name (acquire_lock answered
 *     WENDLEMOOR_OK and it has not released it), no other thread of any
 *     process, through any service over the same folder, is given it.
 *     acquire_lock with `wait` non-zero blocks until the name is free (a
 *     signal handled meanwhile does not end the wait); with `wait` 0 it
 *     never blocks on the name and answers WENDLEMOOR_ERROR_LOCK_BUSY.
 *   - Misuse: a thread that asks again for a name it holds, waiting or not,
 *     gets WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK at once, never BUSY and
 *     never a wait for itself. release_lock by a thread that does not hold
 *     the name (it never took it, released it already, or another thread
 *     holds it) gets WENDLEMOOR_ERROR_LOCK_NOT_HELD and changes nothing. A
 *     name that is null, empty or longer than WENDLEMOOR_LOCK_NAME_MAX bytes
 *     gets WENDLEMOOR_ERROR_INVALID_ARGUMENT from both.
 *   - Thread end: a thread that ends (returns from its start function or
 *     calls pthread_exit) holding names gives them back as it ends, as if by
 *     release_lock (a pthread key's destructor can do it).
 *   - Process end: a process that ends for any reason, SIGKILL included,
 *     gives back every name it held: the name's lock is a kernel object that
 *     goes with the process (a lock on an open file description, say), and
 *     no other process keeps it alive.
 *   - Fork: the child of a fork() holds none of its parent's names: its
 *     release_lock of one gets WENDLEMOOR_ERROR_LOCK_NOT_HELD, its
 *     acquire_lock of one with `wait` 0 gets WENDLEMOOR_ERROR_LOCK_BUSY
 *     while the parent holds it, and nothing it does (its exit included)
 *     frees the parent's holds; what it inherited must not outlive the
 *     parent either (close inherited lock descriptors in the child, open
 *     them close-on-exec). fork() may come while other threads are inside
 *     the module: the child's calls must not wait on a mutex that a thread
 *     it does not have held (pthread_atfork handlers).
 *   - Two instances: two services over the same folder in one process are
 *     two lock objects, which exclude each other as two processes do. A
 *     thread that holds a name through one and asks for it through the
 *     other with `wait` 0 gets WENDLEMOOR_ERROR_LOCK_BUSY (with `wait`
 *     non-zero it may wait for itself: each service's misuse check sees
 *     only its own holds); one's release never gives back the other's hold.
 * wendlemoor-chaos strikes each of these (its faults thread-end, kill, fork,
 * two-instances, misuse) and reports, module by module, which ones hold.
 *
 * Lifetime and threads. Every function of a service may be called from any
 * thread of the process, concurrently. create_lock_service returns one
 * reference; the object goes when its last reference is released, giving
 * back whatever its callers still held. cleanup, when not null, is called
 * once per folder by the process that owns the run (after every service of
 * that folder has ended, possibly in other processes that were killed), with
 * the folder string the services were given, byte for byte, to remove what
 * the module made outside the folder for it (named semaphores, System V
 * objects): everything else lives inside the folder, which its owner
 * removes. cleanup may also be called at any moment while services of the
 * folder live in other processes, holding names or waiting for them, as a
 * system that removes a user's IPC objects at logout does (wendlemoor-chaos's
 * fault remove-ipc): it must then neither crash nor hang them, nor make
 * their memory unsafe (never remove or shrink a mapping they use; unlink a
 * named object, which leaves it to those that have it open, or remove a
 * kernel object whose later calls fail with an error). Their calls may then
 * fail with a code, or split a name between old and new objects: the
 * adversary reports what it does to exclusion. It runs in a process of its
 * own that uses no service of the module.
 *
 * Unloading. A host unloads the library (dlclose) only once every object
 * made by it has been released and its cleanup has returned: a
 * wendlemoor-chaos worker keeps the module loaded while it runs and unloads
 * it as it exits normally, after releasing its services; a worker killed (a
 * fault, a hang) is never unloaded. So a module must leave nothing that
 * could call into it after its last object goes and the library is unloaded
 * (a thread of its own, a pthread key whose destructor is its code: delete
 * the key in a library destructor; glibc itself drops a library's
 * pthread_atfork handlers when it is unloaded), and must not count on any
 * destructor of its own running (a killed process runs none).
 *
 * Public: installed with the library (include/wendlemoor/components/). */
#ifndef WENDLEMOOR_COMPONENTS_MODULE_H_
#define WENDLEMOOR_COMPONENTS_MODULE_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface. Version 2 appended lease_ms to
 * wendlemoor_module, version 3 server; a host of version 3 loads modules of
 * versions 1 (read as having no lease and no server), 2 (no server) and 3,
 * never reading a member past the module's version, and refuses any
 * other. */
#define WENDLEMOOR_MODULE_ABI_VERSION 3u
/* The oldest version a host still loads. */
#define WENDLEMOOR_MODULE_ABI_VERSION_MIN 1u

/* The exported entry point's name, for dlsym/GetProcAddress. */
#define WENDLEMOOR_MODULE_ENTRY_NAME "wendlemoor_module_entry"

#if defined(_WIN32)
#define WENDLEMOOR_MODULE_EXPORT __declspec(dllexport)
#else
#define WENDLEMOOR_MODULE_EXPORT __attribute__((visibility("default")))
#endif

/* Result codes: the same values as components/result_code.h. A code fails
 * when its top bit is set. */
typedef uint32_t wendlemoor_result;
#define WENDLEMOOR_OK 0u
#define WENDLEMOOR_ERROR_NOT_INITIALIZED 0x80000001u
#define WENDLEMOOR_ERROR_UNKNOWN_CONTRACT 0x80000002u
#define WENDLEMOOR_ERROR_NO_INTERFACE 0x80000003u
#define WENDLEMOOR_ERROR_INVALID_ARGUMENT 0x80000004u
#define WENDLEMOOR_ERROR_OUT_OF_MEMORY 0x80000005u
#define WENDLEMOOR_ERROR_LOCK_BUSY 0x80000201u
#define WENDLEMOOR_ERROR_LOCK_WOULD_DEADLOCK 0x80000202u
#define WENDLEMOOR_ERROR_LOCK_NOT_HELD 0x80000203u
#define WENDLEMOOR_ERROR_LOCK_FOLDER_UNUSABLE 0x80000204u
/* Any other failed system call: this base | errno (low 16 bits). */
#define WENDLEMOOR_ERROR_SYSTEM_BASE 0x80010000u
#define WENDLEMOOR_FAILED(code) (((code)&0x80000000u) != 0)

/* An interface ID, laid out as the C++ InterfaceId. */
typedef struct wendlemoor_interface_id {
  uint32_t d1;
  uint16_t d2;
  uint16_t d3;
  uint8_t d4[8];
} wendlemoor_interface_id;

/* The lock service's contract ID and interface ID (components/lock_service.h
 * holds the same values). */
#define WENDLEMOOR_LOCK_SERVICE_CONTRACT_ID "@wendlemoor.org/ipc/lock-service;1"
#define WENDLEMOOR_LOCK_SERVICE_IID                  \
  {                                                  \
    0x9F6DBE15, 0xD851, 0x4B00, {                    \
      0x91, 0x2A, 0x5A, 0xC0, 0xBE, 0x88, 0xA4, 0x09 \
    }                                                \
  }
/* The common base interface's ID (components/interface.h). */
#define WENDLEMOOR_BASE_IID                          \
  {                                                  \
    0x3C1B0E7A, 0x52D4, 0x4F1E, {                    \
      0x9A, 0x61, 0x0B, 0x7D, 0x2E, 0x44, 0x18, 0xC5 \
    }                                                \
  }

/* The longest name a lock service must take, in bytes. */
#define WENDLEMOOR_LOCK_NAME_MAX 80

typedef struct wendlemoor_lock_service wendlemoor_lock_service;

/* The lock service's table of operations, in slot order. */
typedef struct wendlemoor_lock_service_ops {
  /* Slot 0: on success stores the object in *result with one new reference
   * and returns WENDLEMOOR_OK; for an interface it does not provide stores
   * null and returns WENDLEMOOR_ERROR_NO_INTERFACE. */
  wendlemoor_result (*query_interface)(wendlemoor_lock_service* self,
                                       const wendlemoor_interface_id* iid,
                                       void** result);
  /* Slots 1 and 2: references; the counts returned are for diagnostics. */
  uint32_t (*add_ref)(wendlemoor_lock_service* self);
  uint32_t (*release)(wendlemoor_lock_service* self);
  /* Slot 3: acquires `name` for the calling thread; `wait` 0 never blocks on
   * the name and answers WENDLEMOOR_ERROR_LOCK_BUSY when it is held
   * elsewhere. */
  wendlemoor_result (*acquire_lock)(wendlemoor_lock_service* self,
                                    const char* name, int wait);
  /* Slot 4: releases `name`, which the calling thread holds. */
  wendlemoor_result (*release_lock)(wendlemoor_lock_service* self,
                                    const char* name);
} wendlemoor_lock_service_ops;

/* A lock service object: its first member is its table. A module's own
 * object embeds this as its first member and keeps its state after it. */
struct wendlemoor_lock_service {
  const wendlemoor_lock_service_ops* ops;
};

/* What a module provides. */
typedef struct wendlemoor_module {
  /* WENDLEMOOR_MODULE_ABI_VERSION as the module was built. */
  uint32_t abi_version;
  /* A short name for reports ("flock-each"). */
  const char* name;
  /* Creates a lock service whose names live in `folder` (an existing
   * folder private to the caller; objects outside it, such as semaphore
   * names, are derived from it so that two folders never meet). Returns
   * WENDLEMOOR_OK with one reference in *out, or a failure with *out
   * null. Null when the module provides no lock service. */
  wendlemoor_result (*create_lock_service)(const char* folder,
                                           wendlemoor_lock_service** out);
  /* Removes what the module made outside `folder`; may be null. */
  void (*cleanup)(const char* folder);
  /* Version 2 on. 0: a holder keeps a name until it gives it back or dies.
   * Otherwise the lock is a lease of this many milliseconds: a name whose
   * holder has not given it back within the lease may be taken by another
   * (a holder stopped that long loses it, and the lock then breaks
   * exclusion; a dead holder's name is free once the lease has run out).
   * wendlemoor-chaos then stops holders inside a hold for 1.5 times the
   * lease, and allows a dead holder's name to stay unusable as long. */
  uint32_t lease_ms;
  /* Version 3 on. Null or empty: the lock needs nothing but this machine's
   * kernel. Otherwise the kind of lock server the module's services reach
   * ("postgres"; the kinds are wendlemoor-chaos's, chaos/server.h): the
   * host starts one of that kind, private to the run, before any service
   * is made, and gives its address in the environment variable
   * WENDLEMOOR_SERVER ("unix:PATH" for a Unix socket, "HOST:PORT"). A
   * service made without one, or whose server does not answer, fails
   * create_lock_service with a code of its own. */
  const char* server;
} wendlemoor_module;

/* The one exported entry point: given the host's ABI version, stores the
 * module's description (static, valid while the library is loaded) in
 * *module and returns WENDLEMOOR_OK, or returns a failure (the module cannot
 * run here). */
typedef wendlemoor_result (*wendlemoor_module_entry_fn)(
    uint32_t host_abi_version, const wendlemoor_module** module);

#ifdef __cplusplus
}
#endif

#endif /* WENDLEMOOR_COMPONENTS_MODULE_H_ */
