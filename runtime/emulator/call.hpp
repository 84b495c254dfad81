// How every export runs: count the call, answer a scripted failure, check the arguments (each bad
// one is a contract violation answered with an error, never a crash), then do the work.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
// A thread ended by pthread_exit (or by the host's finalization) unwinds with this exception; it
// must pass through every frame untouched or the process is terminated.
#define VESSAEMU_PASS_FORCED_UNWIND \
  catch (abi::__forced_unwind&) {   \
    throw;                          \
  }
// A forced unwind carries no exception object, so the clause above binds its reference to
// nothing (unused). Functions holding it opt out of the sanitizer's null-reference check, which
// would report exactly that.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define VESSAEMU_FORCED_UNWIND_PATH __attribute__((no_sanitize("null")))
#else
#define VESSAEMU_FORCED_UNWIND_PATH
#endif
#else
#define VESSAEMU_PASS_FORCED_UNWIND
#define VESSAEMU_FORCED_UNWIND_PATH
#endif

#include <exception>
#include "ref.hpp"
#include <new>
#include <string>

#include "errors.hpp"
#include "operations.hpp"
#include "registry.hpp"

namespace vessaemu {

class Call {
 public:
  explicit Call(Op op) : op_(op) {}

  Op op() const { return op_; }

  // The live object behind a handle of the expected kind, or null after making the violation error.
  template <class T, class H>
  Ref<T> object(H handle) {
    static_assert(HandleKind<H>::value == T::kKind, "handle type and object type disagree");
    std::string fault;
    auto found = find_as<T>(handle_value(handle), &fault);
    if (!found) fail(fault);
    return found;
  }

  // An out-pointer or a text argument the operation needs; null is a contract violation.
  template <class P>
  bool out(P* pointer, const char* name) {
    if (pointer != nullptr) return true;
    fail(std::string("argument '") + name + "' is null");
    return false;
  }
  bool text(const os_char* pointer, const char* name) { return out(pointer, name); }

  // Records a violation of this call and makes its error (only the first one counts).
  void fail(const std::string& what) {
    if (error_ == nullptr) error_ = violation(op_, what);
  }

  VESSARUNTIME_ERROR_HANDLE error() const { return error_; }

 private:
  Op op_;
  VESSARUNTIME_ERROR_HANDLE error_ = nullptr;
};

// Runs the body of an export that returns an error handle. Not noexcept, and a forced unwind (a
// thread ended while inside a routine this call invoked) passes through untouched; any other
// exception becomes a Status_Unexpected error.
template <class Body>
VESSAEMU_FORCED_UNWIND_PATH VESSARUNTIME_ERROR_HANDLE guarded(Op op, Body&& body) {
  try {
    if (auto fault = enter(op)) return new_error(*fault);
    Call call(op);
    return body(call);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (const std::bad_alloc&) {
    try {
      return unexpected(op, "out of memory");
    }
    VESSAEMU_PASS_FORCED_UNWIND
    catch (...) {
      return nullptr;
    }
  }
  catch (const std::exception& e) {
    return unexpected(op, e.what());
  }
  catch (...) {
    return unexpected(op, "internal failure");
  }
}

// The common body of the release operations: unregister the handle, the object dies with the last
// reference (an operation still using it on another thread keeps it alive until it is done).
template <class T, class H>
VESSARUNTIME_ERROR_HANDLE release(Op op, H handle) {
  static_assert(HandleKind<H>::value == T::kKind, "handle type and object type disagree");
  return guarded(op, [&](Call& call) {
    std::string fault;
    auto object = unregister_object(handle_value(handle), T::kKind, &fault);
    if (!object) call.fail(fault);
    return call.error();
  });
}

}  // namespace vessaemu
