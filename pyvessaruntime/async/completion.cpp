// The completion bridge: one routine per result kind, all from one template.
#include "async/completion.hpp"

#include <type_traits>
#include <utility>

#include "async/python_entry.hpp"
#include "common/ref.hpp"
#include "handles/handle_object.hpp"
#include "module/owner.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

// The four kinds of completion differ only in these: the result's handle type, its release
// operation and class, the message for a null result and the routine named in reports.
template <class ResultHandle, VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL* Release)(ResultHandle),
          PyTypeObject* ResultClass, const char* NullMessage, const char* Routine>
struct CompletionKind {
  using Handle = ResultHandle;
  static constexpr auto release = Release;
  static PyTypeObject* result_class() { return ResultClass; }
  static constexpr const char* null_message = NullMessage;
  static constexpr const char* routine = Routine;
};

constexpr char kAuthNull[] = "Auth callback result handle is NULL";
constexpr char kAuthRoutine[] = "pyvessaruntime.pyvessaruntime._VESSARUNTIMEAuthCompletionCallback";
constexpr char kSignOutNull[] = "SignOut callback result handle is NULL";
constexpr char kSignOutRoutine[] =
    "pyvessaruntime.pyvessaruntime._VESSARUNTIMESignOutCompletionCallback";
constexpr char kReadAccountNull[] = "ReadAccount callback result handle is NULL";
constexpr char kReadAccountRoutine[] =
    "pyvessaruntime.pyvessaruntime._VESSARUNTIMEReadAccountCompletionCallback";
constexpr char kDiscoverNull[] = "Callback result handle is NULL";
constexpr char kDiscoverRoutine[] =
    "pyvessaruntime.pyvessaruntime._VESSARUNTIMEDiscoverAccountsCompletionCallback";

using AuthKind = CompletionKind<VESSARUNTIME_AUTH_RESULT_HANDLE, VESSARUNTIME_ReleaseAuthResult,
                                &AuthResultType, kAuthNull, kAuthRoutine>;
using SignOutKind =
    CompletionKind<VESSARUNTIME_SIGNOUT_RESULT_HANDLE, VESSARUNTIME_ReleaseSignOutResult,
                   &SignOutResultType, kSignOutNull, kSignOutRoutine>;
using ReadAccountKind =
    CompletionKind<VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE, VESSARUNTIME_ReleaseReadAccountResult,
                   &ReadAccountResultType, kReadAccountNull, kReadAccountRoutine>;
using DiscoverAccountsKind =
    CompletionKind<VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE,
                   VESSARUNTIME_ReleaseDiscoverAccountsResult, &DiscoverAccountsResultType,
                   kDiscoverNull, kDiscoverRoutine>;

template <class Kind>
using OwnedResult = OwnedHandle<typename Kind::Handle, Kind::release>;

// The kind's result object, adopting the result `owner` holds (which keeps it on failure). The
// classes are the module's own static classes, used as class objects, so the object is made as
// their constructors make one, without a Python int and argument parsing in between.
template <class Kind>
PyObject* wrap_result(OwnedResult<Kind>& owner) {
  if constexpr (std::is_same_v<typename Kind::Handle, VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE>)
    return adopt_discover_result(owner);
  else
    return adopt(Kind::result_class(), owner);
}

// Wraps the result in the kind's class and calls the record's `callback` with it. Returns
// false with an exception pending. The result object goes when this returns, and with it the
// result handle, unless the callback kept a reference: when nothing else holds the object (and
// the callback returned), the handle goes back to `result` instead, for the caller to release
// once it no longer holds the interpreter lock. The object then dies without a runtime call of
// its own, and the lock is not given up and taken back only for the release.
template <class Kind>
bool deliver(PyObject* record, OwnedResult<Kind>& result) {
  Ref result_object = Ref::steal(wrap_result<Kind>(result));
  if (!result_object) return false;
  Ref returned =
      Ref::steal(PyObject_CallMethodOneArg(record, state::names.callback, result_object.get()));
  if (returned && Py_REFCNT(result_object.get()) == 1)
    result.reset(std::exchange(handle_of<typename Kind::Handle>(result_object.get()), nullptr));
  return static_cast<bool>(returned);
}

// The callback of a record that goes uncalled, finalized as the record is dropped here, when
// nothing else holds either. Without a GIL an object another thread made is freed by that
// thread, the next time it runs Python: a callback whose finalizer tells a waiting thread that
// no result comes would otherwise wait for the very thread it is to wake.
void finalize_dropped_callback([[maybe_unused]] PyObject* record) {
#ifdef Py_GIL_DISABLED
  if (Py_REFCNT(record) != 1) return;
  PyObject* callback = nullptr;
  if (PyObject_GetOptionalAttr(record, state::names.callback, &callback) <= 0) {
    PyErr_Clear();
    return;
  }
  // The record's reference and this one.
  if (Py_REFCNT(callback) == 2) PyObject_CallFinalizer(callback);
  Py_DECREF(callback);
#endif
}

// `_callbackStorage.pop(key, None)`: the record, None, or null with an exception.
Ref pop_record(PyObject* storage, PyObject* key) {
  if (PyDict_CheckExact(storage)) {
    // A dict's own pop, which no instance or subclass can have replaced here, without the
    // method lookup and the call.
    PyObject* popped = nullptr;
    if (PyDict_Pop(storage, key, &popped) < 0) return Ref();
    return Ref::steal(popped ? popped : Py_NewRef(Py_None));
  }
  PyObject* pop_args[] = {storage, key, Py_None};
  return Ref::steal(PyObject_VectorcallMethod(state::names.pop, pop_args,
                                              3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class Kind>
void complete(typename Kind::Handle handle, void* context) {
  // Released when this routine returns, after the interpreter lock is given back (`python`
  // goes first), unless a result object has taken it over meanwhile.
  OwnedResult<Kind> result(handle);
  PythonEntry python;
  if (!python.entered()) {
    // No interpreter owns the module any more, or it is finalizing: the callback can no longer
    // run. The result is released without Python as its owner goes; the module's reference to
    // the key object goes down with the interpreter.
    return;
  }
  mark_abandonment_of([&] {
    // A context of an ended owner's life (or one the module never handed out): its key is no
    // object of this interpreter, and the result goes without a callback.
    if (!owner::take_back(context)) return;
    {
      Ref key = Ref::steal(static_cast<PyObject*>(context));  // the module's own reference
      Ref record;
      Ref storage = state::lookup(state::names.callbackStorage);
      if (storage) record = pop_record(storage.get(), key.get());
      int found = record ? PyObject_IsTrue(record.get()) : -1;
      if (found > 0) {
        if (!result) {
          PyErr_SetString(PyExc_RuntimeError, Kind::null_message);
          PyObject* failure = PyErr_GetRaisedException();
          finalize_dropped_callback(record.get());
          PyErr_SetRaisedException(failure);
        } else {
          deliver<Kind>(record.get(), result);
        }
      }
      // Dropping the record here may destroy it and the caller's callback with it.
    }
    // After a failure, a result that no result object took over (a failure before the
    // wrapping) is released before the failure is reported, as the report may look.
    if (PyErr_Occurred()) result.reset();
    report_unraisable(Kind::routine);
  });
  // `python` gives the lock back before `result`, declared first, goes.
}

}  // namespace

void VESSARUNTIME_CALL auth_completion(VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context) {
  complete<AuthKind>(result, context);
}
void VESSARUNTIME_CALL signout_completion(VESSARUNTIME_SIGNOUT_RESULT_HANDLE result,
                                          void* context) {
  complete<SignOutKind>(result, context);
}
void VESSARUNTIME_CALL read_account_completion(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE result,
                                               void* context) {
  complete<ReadAccountKind>(result, context);
}
void VESSARUNTIME_CALL
discover_accounts_completion(VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE result, void* context) {
  complete<DiscoverAccountsKind>(result, context);
}

}  // namespace pvr
