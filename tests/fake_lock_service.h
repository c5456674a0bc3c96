// A lock service for tests: counts references and answers every call with the
// codes it is given, recording which names it saw.
#ifndef WENDLEMOOR_TESTS_FAKE_LOCK_SERVICE_H_
#define WENDLEMOOR_TESTS_FAKE_LOCK_SERVICE_H_

#include <atomic>
#include <cstdint>

#include "components/lock_service.h"

class FakeLockService : public wendlemoor::LockService {
 public:
  FakeLockService(wendlemoor::ResultCode acquire_code = wendlemoor::kOk,
                  wendlemoor::ResultCode release_code = wendlemoor::kOk)
      : acquire_code_(acquire_code), release_code_(release_code) {}
  virtual ~FakeLockService() = default;  // a test may derive its own

  wendlemoor::ResultCode QueryInterface(const wendlemoor::InterfaceId& iid,
                                        void** result) override {
    if (!(iid == wendlemoor::kLockServiceId ||
          iid == wendlemoor::kBaseInterfaceId)) {
      *result = nullptr;
      return wendlemoor::kErrorNoInterface;
    }
    AddRef();
    *result = static_cast<wendlemoor::LockService*>(this);
    return wendlemoor::kOk;
  }
  std::uint32_t AddRef() override {
    ++add_refs_;
    return ++references_;
  }
  std::uint32_t Release() override {
    ++releases_;
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }
  wendlemoor::ResultCode AcquireLock(const char*, int) override {
    ++acquires_;
    return acquire_code_;
  }
  wendlemoor::ResultCode ReleaseLock(const char*) override {
    ++release_calls_;
    return release_code_;
  }

  std::uint32_t references() const { return references_; }
  std::uint32_t add_refs() const { return add_refs_; }
  std::uint32_t releases() const { return releases_; }
  int acquires() const { return acquires_; }
  int release_calls() const { return release_calls_; }

 private:
  const wendlemoor::ResultCode acquire_code_;
  const wendlemoor::ResultCode release_code_;
  // The creator's reference is counted as taken once.
  std::atomic<std::uint32_t> references_{1};
  std::atomic<std::uint32_t> add_refs_{1};
  std::atomic<std::uint32_t> releases_{0};
  std::atomic<int> acquires_{0};
  std::atomic<int> release_calls_{0};
};

#endif  // WENDLEMOOR_TESTS_FAKE_LOCK_SERVICE_H_
