// How every export runs: count the call, answer a scripted failure, check the arguments (each bad
// one is a contract violation answered with an error, never a crash), then do the work.
//
// The guards here are where an export meets the process's state: each looks it up once and hands
// it down (Call::state() for the runtime's operations, a State& for the control interface's
// bodies), so nothing below them reaches for the global instance.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
// A thread ended by pthread_exit (or by the host's finalization) unwinds with this exception; it
// must pass through every frame untouched or the process is terminated. (libc++ has no such type:
// each catch (...) hands the unwind back itself, see unwind.hpp.)
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

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "failures.hpp"
#include "operations.hpp"
#include "ref.hpp"
#include "registry.hpp"
#include "state.hpp"
#include "unwind.hpp"
#include "vessaemu.h"

namespace vessaemu {

template <class R>
constexpr R control_failure() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_same_v<R, uint64_t>) {
    return VESSAEMU_FAILED_HANDLE;
  } else {
    return VESSAEMU_FAILED;
  }
}

class Call {
 public:
  Call(State& st, Op op) : st_(st), op_(op) {}

  State& state() const { return st_; }
  Op op() const { return op_; }

  // The live object behind a handle of the expected kind, or null after making the violation error.
  template <class T, class H>
  Ref<T> object(H handle) {
    static_assert(HandleKind<H>::value == T::kKind, "handle type and object type disagree");
    std::string fault;
    auto found = find_as<T>(st_.registry, handle_value(handle), &fault);
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
    if (error_ == nullptr) error_ = violation(st_, op_, what);
  }

  VESSARUNTIME_ERROR_HANDLE error() const { return error_; }

 private:
  State& st_;
  Op op_;
  VESSARUNTIME_ERROR_HANDLE error_ = nullptr;
};

// Runs the body of an export of the runtime. Not noexcept, and a forced unwind (a thread ended
// while inside a routine this call invoked) passes through untouched; any other exception
// becomes a Status_Unexpected error, the reserved one when memory ran out, so a failure never
// reads as success (null). The handlers make nothing that could fail in turn.
template <class Body>
VESSAEMU_FORCED_UNWIND_PATH VESSARUNTIME_ERROR_HANDLE guarded(Op op, Body&& body) {
  State& st = state();
  try {
    const auto fault = enter(st.operations, op);
    FailurePoint point(st.injections, full_name(op));
    if (fault) return new_error(st.registry, *fault, op);
    Call call(st, op);
    return body(call);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (const std::bad_alloc&) {
    return st.reserved.of(op);
  }
  catch (const std::exception& e) {
    return failure_error(st, op, e.what());
  }
  catch (...) {
    pass_foreign_unwind();
    return failure_error(st, op, "internal failure");
  }
}

// The same for the two runtime operations that answer nothing.
template <class Body>
VESSAEMU_FORCED_UNWIND_PATH void guarded_void(Op op, Body&& body) {
  State& st = state();
  try {
    enter(st.operations, op);
    FailurePoint point(st.injections, full_name(op));
    Call call(st, op);
    body(call);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
    // Nothing to answer with: the operation did what it could.
  }
}

// Runs the body of a control function (`function` is its exported name, __func__) on the
// state. Whatever fails inside answers VESSAEMU_FAILED (VESSAEMU_FAILED_HANDLE for handle values,
// null for names), or what `failed` makes of the state when given; forced unwinds pass as above.
template <class R, class Body, class Failed>
  requires(!std::is_void_v<R>)
VESSAEMU_FORCED_UNWIND_PATH R control(const char* function, Body&& body, Failed&& failed) {
  State& st = state();
  try {
    FailurePoint point(st.injections, function);
    return body(st);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
    return failed(st);
  }
}

template <class R, class Body>
  requires(!std::is_void_v<R>)
R control(const char* function, Body&& body) {
  return control<R>(function, std::forward<Body>(body),
                    [](State&) { return control_failure<R>(); });
}

template <class R, class Body>
  requires std::is_void_v<R>
VESSAEMU_FORCED_UNWIND_PATH void control(const char* function, Body&& body) {
  State& st = state();
  try {
    FailurePoint point(st.injections, function);
    body(st);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
  }
}

// The common body of the release operations: unregister the handle, the object dies with the last
// reference (an operation still using it on another thread keeps it alive until it is done).
template <class T, class H>
VESSARUNTIME_ERROR_HANDLE release(Op op, H handle) {
  static_assert(HandleKind<H>::value == T::kKind, "handle type and object type disagree");
  return guarded(op, [&](Call& call) {
    std::string fault;
    auto object = unregister_object(call.state().registry, handle_value(handle), T::kKind, &fault);
    if (!object && !fault.empty()) call.fail(fault);
    return call.error();
  });
}

}  // namespace vessaemu
