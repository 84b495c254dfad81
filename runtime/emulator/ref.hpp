// Intrusive reference counting for emulator objects. Used instead of std::shared_ptr because the
// latter's control blocks drag libstdc++ type information into the library's export table, and the
// library must export nothing but the runtime operations and the control interface.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vessaemu {

class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void add_ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  // True when the last reference went away and the object must be deleted.
  bool drop_ref() const noexcept { return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

 protected:
  ~RefCounted() = default;

 private:
  mutable std::atomic<int64_t> refs_{0};
};

// A counted reference; deletes through T, so a Ref to a base class needs a virtual destructor.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}
  explicit Ref(T* pointer) : p_(pointer) {
    if (p_ != nullptr) p_->add_ref();
  }
  Ref(const Ref& other) : Ref(other.p_) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  // Conversions go up the hierarchy only; a downcast is explicit (ref_cast), where the caller
  // says it knows the dynamic type.
  template <class U>
    requires std::convertible_to<U*, T*>
  Ref(const Ref<U>& other) : Ref(other.get()) {}
  template <class U>
    requires std::convertible_to<U*, T*>
  Ref(Ref<U>&& other) noexcept : p_(other.detach()) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    if (p_ != nullptr && p_->drop_ref()) delete p_;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const Ref& other) const { return p_ == other.p_; }
  bool operator==(std::nullptr_t) const { return p_ == nullptr; }

  // Gives up the reference without dropping it (for conversions between Ref types).
  T* detach() { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> make_ref(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

// Downcast of a reference whose dynamic type the caller knows (the registry checked the kind).
template <class T, class U>
Ref<T> ref_cast(Ref<U> ref) {
  return Ref<T>(static_cast<T*>(ref.get()));
}

}  // namespace vessaemu
