// Async-operation handles: the state of one started operation, shared by the handle the caller
// holds and whatever completes the operation.
#pragma once

#include <functional>
#include <mutex>

#include "ref.hpp"
#include "registry.hpp"

namespace vessaemu {

// Pending until completed; Cancelled while a cancellation waits to be delivered.
enum class AsyncState : int { Pending = 0, Cancelled = 1, Completed = 2 };

// What the one completer of an operation is to deliver.
enum class Claim { AlreadyCompleted, Normal, Cancelled };

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

  // Makes the caller the operation's one completer: AlreadyCompleted if someone else was, else
  // whether a cancellation came first (the completer then delivers the cancellation, whatever
  // it was about to deliver). This is the point after which a cancel changes nothing.
  Claim claim() {
    std::function<void()> dropped;
    std::lock_guard lock(mutex);
    if (state_ == AsyncState::Completed) return Claim::AlreadyCompleted;
    const bool cancelled = state_ == AsyncState::Cancelled;
    state_ = AsyncState::Completed;
    dropped = std::move(on_cancel);
    return cancelled ? Claim::Cancelled : Claim::Normal;
  }

  // Set by whatever runs the operation, before the handle is handed out.
  std::function<void()> on_cancel;

 private:
  mutable std::mutex mutex;
  AsyncState state_ = AsyncState::Pending;
};

}  // namespace vessaemu
