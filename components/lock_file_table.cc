#include "components/lock_file_table.h"

#include <unistd.h>

#include <cstring>
#include <new>

namespace wendlemoor {

namespace {

// Room for the kept descriptions and a handful of holds.
constexpr std::size_t kReserved = LockFileTable::kKeptMax + 16;

}  // namespace

LockFileTable::LockFileTable() {
  // Without the room the table simply grows later.
  try {
    entries_.reserve(kReserved);
  } catch (const std::bad_alloc&) {
  }
}

LockFileTable::~LockFileTable() { CloseAll(); }

int LockFileTable::FindInUse(const void* thread, const char* name,
                             std::size_t length) const {
  for (const Entry& entry : entries_) {
    if (entry.thread == thread && entry.length == length &&
        std::memcmp(entry.name, name, length) == 0) {
      return entry.fd;
    }
  }
  return -1;
}

int LockFileTable::AnyInUse(const void* thread) const {
  for (const Entry& entry : entries_) {
    if (entry.thread != nullptr &&
        (thread == nullptr || entry.thread == thread)) {
      return entry.fd;
    }
  }
  return -1;
}

int LockFileTable::TakeKept(const void* thread, const char* name,
                            std::size_t length) {
  // The most recently kept one: its inode and description are warmest.
  Entry* best = nullptr;
  for (Entry& entry : entries_) {
    if (entry.thread == nullptr && entry.length == length &&
        std::memcmp(entry.name, name, length) == 0 &&
        (best == nullptr || entry.last_used > best->last_used)) {
      best = &entry;
    }
  }
  if (best == nullptr) return -1;
  best->thread = thread;
  return best->fd;
}

bool LockFileTable::AddInUse(const void* thread, const char* name,
                             std::size_t length, int fd) {
  try {
    entries_.emplace_back();
  } catch (const std::bad_alloc&) {
    return false;
  }
  Entry& entry = entries_.back();
  std::memcpy(entry.name, name, length);
  entry.length = length;
  entry.fd = fd;
  entry.thread = thread;
  entry.last_used = 0;
  return true;
}

void LockFileTable::Keep(int fd) {
  for (Entry& entry : entries_) {
    if (entry.fd == fd && entry.thread != nullptr) {
      entry.thread = nullptr;
      entry.last_used = ++clock_;
      break;
    }
  }
  std::size_t kept = 0;
  const Entry* oldest = nullptr;
  for (const Entry& entry : entries_) {
    if (entry.thread != nullptr) continue;
    ++kept;
    if (oldest == nullptr || entry.last_used < oldest->last_used) {
      oldest = &entry;
    }
  }
  if (kept > kKeptMax) Drop(oldest->fd);
}

void LockFileTable::Drop(int fd) {
  for (Entry& entry : entries_) {
    if (entry.fd != fd) continue;
    entry = entries_.back();
    entries_.pop_back();
    close(fd);  // never retried: the descriptor is gone even on EINTR
    return;
  }
}

std::size_t LockFileTable::CloseKept() {
  std::size_t closed = 0;
  for (std::size_t i = 0; i < entries_.size();) {
    if (entries_[i].thread == nullptr) {
      close(entries_[i].fd);
      entries_[i] = entries_.back();
      entries_.pop_back();
      ++closed;
    } else {
      ++i;
    }
  }
  return closed;
}

void LockFileTable::CloseAll() {
  for (const Entry& entry : entries_) close(entry.fd);
  entries_.clear();
}

}  // namespace wendlemoor
