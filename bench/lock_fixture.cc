#include "bench/lock_fixture.h"

#include <sys/file.h>

using wendlemoor::CreateLockService;
using wendlemoor::Failed;
using wendlemoor::InterfacePtr;
using wendlemoor::kErrorOutOfMemory;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

void DieCode(const char* what, ResultCode code) {
  std::fprintf(stderr, "wendlemoor_bench: %s: result code %x\n", what, code);
  std::fflush(stderr);
  _exit(2);
}

struct flock WholeFile(short type) {
  struct flock whole = {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  return whole;
}

int RawAcquire(const TempFolder& folder, const char* name) {
  const int fd = folder.OpenLockFile(name);
  struct flock whole = WholeFile(F_WRLCK);
  Check(RetryOnEintr([&] { return fcntl(fd, F_OFD_SETLKW, &whole); }),
        "fcntl(F_OFD_SETLKW)");
  CheckLinked(fd);
  return fd;
}

void RawRelease(int fd) {
  struct flock whole = WholeFile(F_UNLCK);
  Check(fcntl(fd, F_OFD_SETLK, &whole), "fcntl(F_OFD_SETLK, F_UNLCK)");
  Check(close(fd), "close");
}

int FlockAcquire(const TempFolder& folder, const char* name) {
  const int fd = folder.OpenLockFile(name);
  Check(RetryOnEintr([&] { return flock(fd, LOCK_EX); }), "flock(LOCK_EX)");
  return fd;
}

void FlockRelease(int fd) {
  Check(flock(fd, LOCK_UN), "flock(LOCK_UN)");
  Check(close(fd), "close");
}

InterfacePtr<LockService> NewService(const TempFolder& folder) {
  auto service =
      InterfacePtr<LockService>::Adopt(CreateLockService(folder.path()));
  if (!service) DieCode("CreateLockService", kErrorOutOfMemory);
  return service;
}

void ServiceAcquire(LockService* service, const char* name) {
  const ResultCode code = service->AcquireLock(name, 1);
  if (Failed(code)) DieCode("AcquireLock", code);
}

void ServiceRelease(LockService* service, const char* name) {
  const ResultCode code = service->ReleaseLock(name);
  if (Failed(code)) DieCode("ReleaseLock", code);
}

bool ServiceLocks(LockService* service, const TempFolder& folder) {
  ServiceAcquire(service, kProbeName);
  const int fd = folder.OpenLockFile(kProbeName);
  bool refused = false;
  struct flock whole = WholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_SETLK, &whole) == -1) {
    if (errno != EAGAIN && errno != EACCES) Die("fcntl(F_OFD_SETLK)");
    refused = true;
  }
  if (!refused && flock(fd, LOCK_EX | LOCK_NB) == -1) {
    if (errno != EWOULDBLOCK) Die("flock(LOCK_NB)");
    refused = true;
  }
  Check(close(fd), "close");  // gives back whatever the probe took
  ServiceRelease(service, kProbeName);
  return refused;
}

void KeptLock(int fd) {
  struct flock whole = WholeFile(F_WRLCK);
  Check(RetryOnEintr([&] { return fcntl(fd, F_OFD_SETLKW, &whole); }),
        "fcntl(F_OFD_SETLKW)");
}

void KeptUnlock(int fd) {
  struct flock whole = WholeFile(F_UNLCK);
  Check(fcntl(fd, F_OFD_SETLK, &whole), "fcntl(F_OFD_SETLK, F_UNLCK)");
}

void KeptFlock(int fd) {
  Check(RetryOnEintr([&] { return flock(fd, LOCK_EX); }), "flock(LOCK_EX)");
}

void KeptUnflock(int fd) { Check(flock(fd, LOCK_UN), "flock(LOCK_UN)"); }

void CheckLinked(int fd) {
  struct stat st;
  Check(fstat(fd, &st), "fstat");
  if (st.st_nlink == 0) {
    errno = ESTALE;
    Die("lock file removed");
  }
}
