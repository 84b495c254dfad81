// Releasing the interpreter lock around one runtime call.
//
// Every call into the runtime is made without the interpreter lock, so runtime threads that
// deliver completions or log lines can take it meanwhile (they would deadlock otherwise when
// the runtime waits for them inside the call).
#pragma once

#include <Python.h>

namespace pvr {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
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
