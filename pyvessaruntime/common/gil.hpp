// Releasing the interpreter lock around one runtime call, and taking it back safely.
//
// Every call into the runtime is made without the interpreter lock, so runtime threads that
// deliver completions or log lines can take it meanwhile (they would deadlock otherwise when
// the runtime waits for them inside the call).
//
// A thread that asks for the lock while the interpreter finalizes is ended by the interpreter
// on the spot: its stack is unwound (a forced unwind) from inside the request, be it ours or
// one the interpreter makes while running a callback. (CPython 3.14, and 3.13 from 3.13.8, block
// such a thread in the request for good instead; the rules are then idle, and nothing at exit
// may wait for a runtime thread once the interpreter finalizes.) Three rules follow.
// - Every frame that can be on the stack then lets the unwind pass: no noexcept, hence the
//   noexcept(false) destructors in this code base.
// - Destructors that run during the unwind must not touch Python, whose lock this thread does
//   not hold: they check `holds_python()` (a thread state attached to this thread) first.
// - Destructors that would take the lock back (GilRelease, the thread state kept by a runtime
//   thread) check `abandoned_by_python()`: set while this thread waits for the lock in our own
//   requests, and by `mark_abandonment_of` when the unwind leaves a routine the runtime called.
#pragma once

#include <exception>

#include "common/python.hpp"

namespace pvr {

// Thread-local state of the module is read on every runtime call. In a shared object the
// default model asks the dynamic linker for each access; the initial-exec model reads the
// thread's static TLS block directly, which the small amount used here always fits into.
#if defined(__ELF__)
#define PVR_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define PVR_FAST_TLS
#endif

namespace detail {
inline thread_local bool abandoned PVR_FAST_TLS = false;
inline thread_local int own_calls PVR_FAST_TLS = 0;
}  // namespace detail

// True when this thread has a thread state attached, that is, holds the interpreter lock.
inline bool holds_python() {
  return PyThreadState_GetUnchecked() != nullptr;
}

// True once the interpreter has begun to end this thread (or while it asks for the lock).
inline bool abandoned_by_python() {
  return detail::abandoned;
}

// True while this thread is inside one of the module's own runtime calls (GilRelease). A routine
// the runtime delivers then (a completion inside its start call, a log line of the call) runs on
// a thread that is waiting for nothing but that call.
inline bool inside_own_runtime_call() {
  return detail::own_calls > 0;
}

// PyEval_RestoreThread, marking the wait for the lock.
inline void restore_thread(PyThreadState* state) {
  detail::abandoned = true;
  PyEval_RestoreThread(state);
  detail::abandoned = false;
}

// PyGILState_Ensure, marking the wait for the lock.
inline PyGILState_STATE ensure_gil() {
  detail::abandoned = true;
  PyGILState_STATE state = PyGILState_Ensure();
  detail::abandoned = false;
  return state;
}

// PyThreadState_Swap, marking the wait for the lock: the swap gives the lock up and takes it
// again for `state`.
inline PyThreadState* swap_thread_state(PyThreadState* state) {
  detail::abandoned = true;
  PyThreadState* replaced = PyThreadState_Swap(state);
  detail::abandoned = false;
  return replaced;
}

// Runs `body`, which calls into Python; should the interpreter end this thread inside it, the
// thread is marked abandoned on the way out, for the destructors further up its stack.
// A forced unwind is no C++ exception that every C++ runtime can name (libstdc++ calls it
// abi::__forced_unwind, libc++ has no type for it), so it is told apart by what it is not: `body`
// neither returned nor threw a C++ exception of its own.
template <class Body>
void mark_abandonment_of(Body&& body) {
  struct Mark {
    const int in_flight = std::uncaught_exceptions();
    bool returned = false;
    ~Mark() {
      if (!returned && std::uncaught_exceptions() == in_flight) detail::abandoned = true;
    }
  } mark;
  body();
  mark.returned = true;
}

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) { ++detail::own_calls; }
  // The lock is taken back unless this thread is being ended from deeper down (say, a completion
  // delivered inline during the released call): the lock is gone for good.
  ~GilRelease() noexcept(false) {
    --detail::own_calls;
    if (!abandoned_by_python()) restore_thread(state_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `call` with the interpreter lock released and returns what it returns.
template <class Call>
auto without_gil(Call&& call) {
  GilRelease released;
  return call();
}

}  // namespace pvr
