// The lock service on Windows: one named mutex per name.
//
// What Windows gives. A mutex is owned by the thread that acquired it. When
// that thread ends, or its process ends in any way (TerminateProcess
// included), the kernel abandons the mutex and hands it at once to the next
// waiter, whose wait returns WAIT_ABANDONED: that waiter then holds it, as
// after a release. A waiter sleeps in WaitForSingleObject in the kernel;
// nothing polls. Named objects under "Local\" live in the namespace of the
// logon session, shared by all its processes, and vanish with their last
// handle, so nothing is left behind on disk or anywhere else.
//
// What it lacks, and how the promises are kept. Mutexes are recursive: a
// thread that owns one gets it again at once. One table of holds, shared by
// every instance in the process, refuses a second acquisition by the same
// thread with kErrorLockWouldDeadlock, through whichever instance it asks.
// There is no folder: the "folder" is the prefix of the objects' names
// ("Local\wendlemoor-locks" by default). A name's object is "<folder>/<name>".
// Each byte of the name becomes the character with the same number; the
// backslash, which object names cannot hold, becomes U+FF3C instead, a
// character no byte becomes. Object names are compared case-sensitively, so the
// mapping is injective.
//
// Privacy. Objects are created with a security descriptor whose owner is the
// current user and whose DACL admits that user alone, and handles are created
// not inheritable. A name's object that anyone else made first fails closed
// with kErrorLockFolderUnusable: another user's mutex is refused by its DACL
// (ERROR_ACCESS_DENIED) or, when an object existed before, by its owner; an
// object of another type under the name fails with ERROR_INVALID_HANDLE.
//
// Why not LockFileEx on files in a per-user folder: a file lock belongs to
// the handle, not the thread, so a thread that ends keeps its locks, and the
// documentation gives no bound on when a dead process's locks go ("depends
// upon available system resources").
#include "components/lock_service.h"

#include <aclapi.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "runtime/thread.h"

namespace wendlemoor {

namespace {

// The session's namespace, where every process of the logon session finds it.
constexpr char kDefaultFolder[] = "Local\\wendlemoor-locks";

// The documented limit of an object's name, in characters.
constexpr std::size_t kObjectNameMax = MAX_PATH;

// Where a Win32 call failed: the same error means different things at
// different steps.
enum class Step { kOpen, kOther };

// The one translation of a Win32 error into a result code.
ResultCode CodeFromWin32Error(DWORD error, Step step) {
  if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY) {
    return kErrorOutOfMemory;
  }
  // Opening the name's object: an object of another type (ERROR_INVALID_HANDLE)
  // or one whose DACL does not admit us (another user's), or a prefix that
  // names no namespace or leaves no room for the name.
  if (step == Step::kOpen &&
      (error == ERROR_INVALID_HANDLE || error == ERROR_ACCESS_DENIED ||
       error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_PATHNAME ||
       error == ERROR_INVALID_NAME || error == ERROR_FILENAME_EXCED_RANGE)) {
    return kErrorLockFolderUnusable;
  }
  return kErrorSystemBase | (static_cast<ResultCode>(error) & 0xFFFFu);
}

// Returns the length of a usable name, or 0 for a null, empty or long one.
std::size_t CheckedNameLength(const char* name) {
  if (name == nullptr) return 0;
  const std::size_t length = strnlen(name, kLockNameMax + 1);
  return length > kLockNameMax ? 0 : length;
}

// Appends the name's object name: each byte as the character of the same
// number, the backslash as U+FF3C.
void AppendObjectName(const char* bytes, std::size_t length,
                      std::wstring* out) {
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out->push_back(byte == '\\' ? L'\xFF3C' : static_cast<wchar_t>(byte));
  }
}

// The current user's SID and a security descriptor that makes the user the
// owner and admits nobody else, built once per service.
class UserOnlySecurity {
 public:
  // Returns kOk, or the code of the step that failed.
  ResultCode Build() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return CodeFromWin32Error(GetLastError(), Step::kOther);
    }
    DWORD size = 0;
    (void)GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.reset(new (std::nothrow) unsigned char[size]);
    const bool got =
        user_ != nullptr &&
        GetTokenInformation(token, TokenUser, user_.get(), size, &size);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (user_ == nullptr) return kErrorOutOfMemory;
    if (!got) return CodeFromWin32Error(error, Step::kOther);

    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                           GetLengthSid(Sid()) - sizeof(DWORD);
    acl_.reset(new (std::nothrow) unsigned char[acl_size]);
    if (acl_ == nullptr) return kErrorOutOfMemory;
    auto* acl = reinterpret_cast<ACL*>(acl_.get());
    if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, Sid()) ||
        !InitializeSecurityDescriptor(&descriptor_,
                                      SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor_, Sid(), FALSE) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
      return CodeFromWin32Error(GetLastError(), Step::kOther);
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return kOk;
  }

  PSID Sid() const {
    return reinterpret_cast<TOKEN_USER*>(user_.get())->User.Sid;
  }
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

  // True when the object behind `handle` is owned by the current user.
  bool OwnedByUser(HANDLE handle) const {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                        &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
      return false;
    }
    const bool ours = owner != nullptr && EqualSid(owner, Sid());
    LocalFree(descriptor);
    return ours;
  }

 private:
  std::unique_ptr<unsigned char[]> user_;  // a TOKEN_USER
  std::unique_ptr<unsigned char[]> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

class LockServiceImpl;

// A name held by a thread through an instance, with the handle of the mutex
// it owns.
struct Hold {
  const LockServiceImpl* service;
  const void* thread;
  char name[kLockNameMax];
  std::size_t length;
  HANDLE mutex;
};

// Every hold of every instance in the process: a mutex is recursive whichever
// handle asks, so the check against a second acquisition must see them all.
// Mutex rules: gHoldsMutex guards gHolds; no wait on a name's mutex is made
// while holding it. A hold of a thread that ended stays until its service is
// destroyed: the kernel has freed its mutex already, and thread identities
// are never reused, so no later thread can match it.
std::mutex gHoldsMutex;
std::vector<Hold> gHolds;

class LockServiceImpl final
    : public InterfaceImpl<LockServiceImpl, LockService> {
 public:
  explicit LockServiceImpl(std::wstring prefix) : prefix_(std::move(prefix)) {}

  // Builds the security descriptor; returns false when memory ran out. Any
  // other failure makes every acquisition fail with its code.
  bool Build() {
    unusable_ = security_.Build();
    return unusable_ != kErrorOutOfMemory;
  }

  ~LockServiceImpl() {
    // A hold of the destroying thread is given back; a mutex that another
    // thread still owns stays owned until that thread releases or ends (only
    // its owner can release it), and only our handle goes.
    std::lock_guard<std::mutex> lock(gHoldsMutex);
    std::erase_if(gHolds, [this](const Hold& hold) {
      if (hold.service != this) return false;
      if (hold.thread == JX_GetCurrentThread()) ReleaseMutex(hold.mutex);
      CloseHandle(hold.mutex);
      return true;
    });
  }

  ResultCode AcquireLock(const char* name, int wait) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    if (unusable_ != kOk) return unusable_;
    void* const thread = JX_GetCurrentThread();
    {
      std::lock_guard<std::mutex> lock(gHoldsMutex);
      if (Find(nullptr, thread, name, length) != gHolds.end()) {
        return kErrorLockWouldDeadlock;
      }
    }
    std::wstring object_name;
    try {
      object_name = prefix_;
      AppendObjectName(name, length, &object_name);
    } catch (const std::bad_alloc&) {
      return kErrorOutOfMemory;
    }
    if (object_name.size() >= kObjectNameMax) return kErrorLockFolderUnusable;

    const HANDLE mutex =
        CreateMutexW(security_.attributes(), FALSE, object_name.c_str());
    if (mutex == nullptr) {
      return CodeFromWin32Error(GetLastError(), Step::kOpen);
    }
    // An object that existed before is ours only when we own it; one we
    // created carries our descriptor.
    if (GetLastError() == ERROR_ALREADY_EXISTS &&
        !security_.OwnedByUser(mutex)) {
      CloseHandle(mutex);
      return kErrorLockFolderUnusable;
    }
    // WAIT_ABANDONED: the last holder ended without releasing; we hold it.
    const DWORD waited = WaitForSingleObject(mutex, wait != 0 ? INFINITE : 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      const DWORD error = GetLastError();
      CloseHandle(mutex);
      return waited == WAIT_TIMEOUT ? kErrorLockBusy
                                    : CodeFromWin32Error(error, Step::kOther);
    }
    try {
      std::lock_guard<std::mutex> lock(gHoldsMutex);
      Hold hold = {this, thread, {}, length, mutex};
      std::memcpy(hold.name, name, length);
      gHolds.push_back(hold);
    } catch (const std::bad_alloc&) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
      return kErrorOutOfMemory;
    }
    return kOk;
  }

  ResultCode ReleaseLock(const char* name) override {
    const std::size_t length = CheckedNameLength(name);
    if (length == 0) return kErrorInvalidArgument;
    std::lock_guard<std::mutex> lock(gHoldsMutex);
    const auto hold = Find(this, JX_GetCurrentThread(), name, length);
    if (hold == gHolds.end()) return kErrorLockNotHeld;
    // The calling thread owns the mutex: the release cannot fail.
    ReleaseMutex(hold->mutex);
    CloseHandle(hold->mutex);
    gHolds.erase(hold);
    return kOk;
  }

 private:
  // The hold of `name` by `thread` through `service`, or through any instance
  // over the same folder when `service` is null.
  // REQUIRES: gHoldsMutex held.
  std::vector<Hold>::iterator Find(const LockServiceImpl* service,
                                   const void* thread, const char* name,
                                   std::size_t length) const {
    for (auto it = gHolds.begin(); it != gHolds.end(); ++it) {
      const bool same_service = service != nullptr
                                    ? it->service == service
                                    : it->service->prefix_ == prefix_;
      if (same_service && it->thread == thread && it->length == length &&
          std::memcmp(it->name, name, length) == 0) {
        return it;
      }
    }
    return gHolds.end();
  }

  const std::wstring prefix_;  // "<folder>/"
  ResultCode unusable_ = kOk;  // or what every acquisition returns
  UserOnlySecurity security_;
};

}  // namespace

std::string DefaultLockFolder() { return kDefaultFolder; }

LockService* CreateLockService(const char* folder) {
  if (folder == nullptr) folder = kDefaultFolder;
  std::wstring prefix;
  try {
    // Taken as it stands, namespace and all: a backslash past the
    // namespace's makes every acquisition fail as unusable.
    for (const char* c = folder; *c != '\0'; ++c) {
      prefix.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    prefix.push_back(L'/');
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  auto* service = new (std::nothrow) LockServiceImpl(std::move(prefix));
  if (service != nullptr && !service->Build()) {
    service->Release();
    return nullptr;
  }
  return service;
}

}  // namespace wendlemoor
