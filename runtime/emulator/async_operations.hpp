// Async-operation handles: the state of one started operation, shared by the handle the caller
// holds and whatever completes the operation.
#pragma once

#include <functional>
#include "ref.hpp"
#include <mutex>

#include "registry.hpp"

namespace vessaemu {

enum class AsyncState : int { Pending = 0, Cancelled = 1, Completed = 2 };

struct AsyncOperationObject : Object {
  static constexpr Kind kKind = Kind::AsyncOperation;

  AsyncState state() const {
    std::lock_guard lock(mutex);
    return state_;
  }

  // Pending -> Cancelled; runs the cancel action (outside the lock) only for that transition.
  // Cancelling a cancelled or completed operation changes nothing.
  void cancel() {
    std::function<void()> action;
    {
      std::lock_guard lock(mutex);
      if (state_ != AsyncState::Pending) return;
      state_ = AsyncState::Cancelled;
      action = std::move(on_cancel);
    }
    if (action) action();
  }

  // Marks the operation completed; false if it already was, so an operation completes only once.
  bool complete() {
    std::lock_guard lock(mutex);
    if (state_ == AsyncState::Completed) return false;
    state_ = AsyncState::Completed;
    on_cancel = nullptr;
    return true;
  }

  // Set by whatever runs the operation, before the handle is handed out.
  std::function<void()> on_cancel;

 private:
  mutable std::mutex mutex;
  AsyncState state_ = AsyncState::Pending;
};

}  // namespace vessaemu
