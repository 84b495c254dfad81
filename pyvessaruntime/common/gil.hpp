// Releasing the interpreter lock around one runtime call, and taking it back safely.
//
// Every call into the runtime is made without the interpreter lock, so runtime threads that
// deliver completions or log lines can take it meanwhile (they would deadlock otherwise when
// the runtime waits for them inside the call).
//
// A thread that asks for the lock back while the interpreter finalizes is ended by the
// interpreter on the spot: its stack is unwound (a forced unwind) from inside
// PyEval_RestoreThread. Two rules follow. Every frame that can be on the stack then must let
// the unwind pass (no noexcept, hence the noexcept(false) destructors in this code base).
// And destructors that run during that unwind must not touch Python, whose lock this thread
// no longer holds: they ask `abandoned_by_python()` first and leave their objects alone.
#pragma once

#include <Python.h>

namespace pvr {

namespace detail {
// True from the moment this thread asks for the interpreter lock back until it has it.
inline thread_local bool reacquiring_gil = false;
}  // namespace detail

// True while this thread is being ended by the interpreter (see above).
inline bool abandoned_by_python() { return detail::reacquiring_gil; }

// PyEval_RestoreThread, marking the wait for the lock.
inline void restore_thread(PyThreadState* state) {
  detail::reacquiring_gil = true;
  PyEval_RestoreThread(state);
  detail::reacquiring_gil = false;
}

// PyGILState_Ensure, marking the wait for the lock.
inline PyGILState_STATE ensure_gil() {
  detail::reacquiring_gil = true;
  PyGILState_STATE state = PyGILState_Ensure();
  detail::reacquiring_gil = false;
  return state;
}

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  // Skipped when this thread is being ended from deeper down (say, a completion delivered
  // inline during the released call): the lock is gone for good.
  ~GilRelease() noexcept(false) {
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
