// Ownership of runtime handles while they change hands.
//
// A handle the runtime gives the module is held by exactly one owner at a time: an OwnedHandle
// while it travels (from a completion, a getter, a create call) and then the wrapper object
// that adopts it. Every hand-over is a visible release() into the next owner; an owner that
// still holds its handle when it goes releases it, so no path can lose a handle or release it
// twice.
#pragma once

#include "common/python.hpp"

#include <type_traits>
#include <utility>

#include "common/gil.hpp"
#include "vessaruntime.h"

namespace pvr {

template <class Handle>
using ReleaseOperation = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(Handle);

// Releases `handle` with its kind's operation, and an error the release reports with it. All
// calls are made without the interpreter lock when this thread holds it: a runtime call made
// with the lock held could wait for a runtime thread that is waiting for the lock (a log line,
// a completion).
template <class Handle, ReleaseOperation<Handle> Release>
void release_handle(Handle handle) {
  if (!handle) return;
  auto release = [handle] {
    VESSARUNTIME_ERROR_HANDLE error = Release(handle);
    // What releasing an error reports is left alone: releasing that could fail the same way.
    if constexpr (!std::is_same_v<Handle, VESSARUNTIME_ERROR_HANDLE>) {
      if (error) VESSARUNTIME_ReleaseError(error);
    }
  };
  if (holds_python()) {
    without_gil(release);
  } else {
    release();  // no interpreter here: a completion after finalization, or a thread being ended
  }
}

template <class Handle, ReleaseOperation<Handle> Release>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(Handle handle) : handle_(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept(false) {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  // May give the interpreter lock up for the release, so a forced unwind must pass.
  ~OwnedHandle() noexcept(false) { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Hands the handle to its next owner.
  [[nodiscard]] Handle release() { return std::exchange(handle_, nullptr); }
  // Releases the handle held, if any, and holds `handle` instead.
  void reset(Handle handle = nullptr) {
    release_handle<Handle, Release>(std::exchange(handle_, handle));
  }
  // Where the runtime stores a new handle for this owner (which holds none yet).
  Handle* out() { return &handle_; }

 private:
  Handle handle_ = nullptr;
};

using OwnedAccount = OwnedHandle<VESSARUNTIME_ACCOUNT_HANDLE, VESSARUNTIME_ReleaseAccount>;
using OwnedError = OwnedHandle<VESSARUNTIME_ERROR_HANDLE, VESSARUNTIME_ReleaseError>;
using OwnedDiscoverResult = OwnedHandle<VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE,
                                        VESSARUNTIME_ReleaseDiscoverAccountsResult>;

}  // namespace pvr
