// A PyMutex held for a scope: the lock of state that threads share, which the GIL no longer
// guards in a free-threaded interpreter. PyMutex parks a waiting thread detached from its
// interpreter, so a waiter never holds up the thread it waits for, or a pause of every thread.
// Held only over a few statements that neither call Python nor the runtime.
//
// With a GIL, whoever takes one of these holds the GIL, which guards the state already: the lock
// is then left out, as it would cost every start and completion for nothing.
#pragma once

#include "common/python.hpp"

namespace pvr {

#ifdef Py_GIL_DISABLED
class Locked {
 public:
  explicit Locked(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~Locked() { PyMutex_Unlock(&mutex_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyMutex& mutex_;
};
#else
class Locked {
 public:
  explicit Locked(PyMutex&) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};
#endif

}  // namespace pvr
