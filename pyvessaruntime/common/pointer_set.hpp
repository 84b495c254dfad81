// A set of non-null pointers, for membership asked on every completion and log line.
//
// Open addressing with linear probing in a power-of-two table, at most half full: an insertion
// or a removal is a multiplication, a probe or two and no allocation of its own, where a node
// set allocates and frees a node for each pointer and divides to find its bucket. Removal
// shifts the entries of the run back (no tombstones), so a table that sees many insertions and
// removals stays as fast as a fresh one. The table shrinks to a quarter full once it is a
// thirty-second full, so a burst of pointers leaves no large table behind, and a set drained
// one pointer at a time moves few entries to smaller tables on the way.
//
// No Python and no locking here: the caller guards the set.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace pvr {

class PointerSet {
 public:
  PointerSet() = default;
  PointerSet(const PointerSet&) = delete;
  PointerSet& operator=(const PointerSet&) = delete;

  // Adds `p` (not null). False if the table could not grow; the set is unchanged then.
  bool insert(const void* p) {
    if ((size_ + 1) * 2 > capacity_ && !resize(capacity_ ? capacity_ * 2 : kMinCapacity)) {
      return false;
    }
    size_t i = slot_of(p);
    for (; slots_[i]; i = (i + 1) & mask()) {
      if (slots_[i] == p) return true;
    }
    slots_[i] = p;
    ++size_;
    return true;
  }

  // Removes `p`; false if it was not in the set.
  bool erase(const void* p) {
    if (!size_) return false;
    size_t hole = slot_of(p);
    for (; slots_[hole] != p; hole = (hole + 1) & mask()) {
      if (!slots_[hole]) return false;
    }
    // Moves back every later entry of the run that may sit in the hole: one whose home slot is
    // not cyclically between the hole and its own slot.
    for (size_t i = (hole + 1) & mask(); slots_[i]; i = (i + 1) & mask()) {
      const size_t home = slot_of(slots_[i]);
      if (((i - home) & mask()) >= ((i - hole) & mask())) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole] = nullptr;
    --size_;
    if (size_ * 32 < capacity_ && capacity_ > kMinCapacity) {
      resize(std::max(capacity_ / 8, kMinCapacity));
    }
    return true;
  }

  bool contains(const void* p) const {
    if (!size_) return false;
    for (size_t i = slot_of(p); slots_[i]; i = (i + 1) & mask()) {
      if (slots_[i] == p) return true;
    }
    return false;
  }

  void clear() {
    slots_.reset();
    capacity_ = size_ = 0;
  }

  size_t size() const { return size_; }

 private:
  static constexpr size_t kMinCapacity = 16;

  size_t mask() const { return capacity_ - 1; }

  // Fibonacci hashing: the product's high bits mix every bit of the address, including the
  // low ones that an allocator's alignment leaves zero.
  size_t slot_of(const void* p) const {
    const uint64_t product =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<size_t>(product >> shift_);
  }

  bool resize(size_t capacity) {
    std::unique_ptr<const void*[]> slots(new (std::nothrow) const void*[capacity]{});
    if (!slots) return false;
    std::unique_ptr<const void*[]> old = std::move(slots_);
    const size_t old_capacity = capacity_;
    slots_ = std::move(slots);
    capacity_ = capacity;
    shift_ = 64 - std::countr_zero(capacity);
    for (size_t i = 0; i < old_capacity; ++i) {
      if (!old[i]) continue;
      size_t j = slot_of(old[i]);
      while (slots_[j]) j = (j + 1) & mask();
      slots_[j] = old[i];
    }
    return true;
  }

  std::unique_ptr<const void*[]> slots_;
  size_t capacity_ = 0;  // zero or a power of two, at least kMinCapacity
  size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace pvr
