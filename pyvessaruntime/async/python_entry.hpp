// How a runtime thread enters Python: the one place that decides how a thread obtains its
// interpreter thread state and the interpreter lock.
//
// Completions and log lines arrive on threads Python has usually never seen. Building and
// tearing down a thread state for every call costs far more than the call itself, so each such
// thread keeps the state it was given until it ends.
#pragma once

#include <Python.h>

namespace pvr {

class PythonEntry {
 public:
  // Takes the interpreter lock. When the interpreter is finalizing or gone, takes nothing and
  // `entered()` is false: the caller must then finish its work without Python.
  PythonEntry();
  ~PythonEntry() noexcept(false);
  PythonEntry(const PythonEntry&) = delete;
  PythonEntry& operator=(const PythonEntry&) = delete;

  bool entered() const { return mode_ != Mode::kNotEntered; }

 private:
  enum class Mode { kNotEntered, kNested, kKeptThreadState, kGilState };
  Mode mode_ = Mode::kNotEntered;
  PyGILState_STATE gil_state_ = PyGILState_UNLOCKED;
};

// Prints and reports the pending exception to sys.unraisablehook with `routine` as the context
// object, then clears it. A SystemExit is reported like any other exception: on a runtime
// thread it must not end the process.
void report_unraisable(const char* routine);

}  // namespace pvr
