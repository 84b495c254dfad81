// Auth-parameters objects lend their handle to the runtime calls that use it.
//
// `__init__` may run again on an object while another thread is inside the runtime with the
// object's handle (a setter, an operation start). A call holds a loan for its duration; a
// rebuild that replaces the handle meanwhile retires the old one instead of releasing it, and
// the last loan to end releases what was retired. The object's fields change only inside its
// critical section, which orders the loans and the rebuilds also without a GIL; the releases
// come after it, as a release gives the thread's hold on the interpreter up.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"
#include "vessaruntime.h"

namespace pvr {

class AuthParametersLoan {
 public:
  // `params` is a VESSARuntimeAuthParameters (or subclass) instance; the loan keeps it alive.
  explicit AuthParametersLoan(PyObject* params);
  // May give the interpreter lock up to release retired handles.
  ~AuthParametersLoan() noexcept(false);
  AuthParametersLoan(const AuthParametersLoan&) = delete;
  AuthParametersLoan& operator=(const AuthParametersLoan&) = delete;

  VESSARUNTIME_AUTH_PARAMETERS_HANDLE get() const { return handle_; }

 private:
  Ref params_;
  VESSARUNTIME_AUTH_PARAMETERS_HANDLE handle_;
};

}  // namespace pvr
