// Reference-counted interfaces, their 128-bit IDs and the owning pointer.
//
// Every interface starts with the three operations of the common base
// (QueryInterface, AddRef, Release) and follows them with its own, so that the
// table of operations of every interface begins with the same three slots. The
// base has no virtual destructor, which would add slots: an object deletes
// itself in Release when its last reference goes.
//
// InterfacePtr is not thread-safe; the objects it points to say what they are.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_INTERFACE_H_
#define WENDLEMOOR_COMPONENTS_INTERFACE_H_

#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

#include "components/result_code.h"

namespace wendlemoor {

// A 128-bit interface ID, written {d1-d2-d3-d4[0..1]-d4[2..7]}.
struct InterfaceId {
  std::uint32_t d1;
  std::uint16_t d2;
  std::uint16_t d3;
  std::uint8_t d4[8];

  friend bool operator==(const InterfaceId& a, const InterfaceId& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
};

// The common base interface's own ID.
inline constexpr InterfaceId kBaseInterfaceId = {
    0x3C1B0E7A,
    0x52D4,
    0x4F1E,
    {0x9A, 0x61, 0x0B, 0x7D, 0x2E, 0x44, 0x18, 0xC5}};

class Interface {
 public:
  // On success stores the object as the interface `iid` in `*result` with one
  // new reference for the caller and returns kOk. Otherwise stores null and
  // returns kErrorNoInterface (or kErrorInvalidArgument for a null `result`).
  virtual ResultCode QueryInterface(const InterfaceId& iid, void** result) = 0;
  // Adds a reference; returns the new count (for diagnostics only).
  virtual std::uint32_t AddRef() = 0;
  // Drops a reference, destroying the object with the last; returns the new
  // count (for diagnostics only).
  virtual std::uint32_t Release() = 0;

 protected:
  ~Interface() = default;
};

// A thread-safe reference count for implementations; starts at one reference,
// the creator's.
class ReferenceCount {
 public:
  std::uint32_t Add() {
    return count_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  // Returns the new count; the caller destroys the object when it is 0.
  std::uint32_t Drop() {
    return count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  }

 private:
  std::atomic<std::uint32_t> count_{1};
};

// The base operations for an implementation `Impl` of the single interface
// `I`: it answers I's ID and the base ID, counts references thread-safely and
// deletes the Impl with the last one.
//   class QueueImpl final : public InterfaceImpl<QueueImpl, EventQueue> {...};
template <typename Impl, typename I>
class InterfaceImpl : public I {
 public:
  ResultCode QueryInterface(const InterfaceId& iid, void** result) override {
    if (result == nullptr) return kErrorInvalidArgument;
    if (iid == I::kIid || iid == kBaseInterfaceId) {
      AddRef();
      *result = static_cast<I*>(this);  // single inheritance: one address
      return kOk;
    }
    *result = nullptr;
    return kErrorNoInterface;
  }
  std::uint32_t AddRef() override { return references_.Add(); }
  std::uint32_t Release() override {
    const std::uint32_t left = references_.Drop();
    if (left == 0) delete static_cast<Impl*>(this);
    return left;
  }

 protected:
  ~InterfaceImpl() = default;

 private:
  ReferenceCount references_;
};

// Owns exactly one reference to a T (or none, when empty). Releases it on
// reset and destruction; moving hands the reference over and leaves the source
// empty, so no reference is ever released twice. Not copyable: a second owner
// takes its own reference explicitly.
template <typename T>
class InterfacePtr {
 public:
  InterfacePtr() = default;
  // Takes over a reference that the caller already holds.
  static InterfacePtr Adopt(T* raw) {
    InterfacePtr ptr;
    ptr.raw_ = raw;
    return ptr;
  }
  InterfacePtr(InterfacePtr&& other) noexcept : raw_(other.raw_) {
    other.raw_ = nullptr;
  }
  InterfacePtr& operator=(InterfacePtr&& other) noexcept {
    if (this != &other) {
      reset();
      raw_ = std::exchange(other.raw_, nullptr);
    }
    return *this;
  }
  InterfacePtr(const InterfacePtr&) = delete;
  InterfacePtr& operator=(const InterfacePtr&) = delete;
  ~InterfacePtr() { reset(); }

  // Releases the reference held, if any; the pointer is empty afterwards.
  void reset() {
    if (T* raw = std::exchange(raw_, nullptr)) raw->Release();
  }
  // Releases the reference held and returns a slot for an out-parameter that
  // hands over one reference: `service->GetQueue(nullptr, queue.Receive())`.
  T** Receive() {
    reset();
    return &raw_;
  }
  // Gives up ownership without releasing: the caller now holds the reference.
  [[nodiscard]] T* Detach() { return std::exchange(raw_, nullptr); }

  T* get() const { return raw_; }
  T* operator->() const { return raw_; }
  explicit operator bool() const { return raw_ != nullptr; }

 private:
  T* raw_ = nullptr;
};

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_INTERFACE_H_
