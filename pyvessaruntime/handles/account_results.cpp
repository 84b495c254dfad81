// The results of the account operations: sign-out, read-account and discover-accounts.
#include <atomic>
#include <cstdint>

#include "handles/handle_object.hpp"
#include "handles/result_getters.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using SignOutHandle = VESSARUNTIME_SIGNOUT_RESULT_HANDLE;
using ReadAccountHandle = VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE;
using DiscoverHandle = VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE;

// The discover result keeps the accounts it has enumerated, so it takes part in cyclic garbage
// collection (a caller may put the result into its own list of accounts).
struct DiscoverAccountsResultObject {
  PyObject_HEAD DiscoverHandle handle;
  PyObject* accounts;  // the list handed out by get_accounts; None once cleared
  // Set, once the list is filled, under `loading`; read without it by every call. Atomic, as
  // without a GIL nothing else orders the read with the filling.
  std::atomic<int32_t> accounts_loaded;
  // One enumeration at a time per object. The mutex is taken with the interpreter lock held and
  // gives that lock up while it waits (PyMutex parks the thread detached), so a waiter never
  // blocks the thread that is enumerating. `loader` names the enumerating thread, so that a
  // re-entry from that same thread -- a finalizer run by an allocation during the enumeration --
  // fails instead of waiting for itself.
  PyMutex loading;
  std::atomic<unsigned long> loader;
};

DiscoverAccountsResultObject* as_discover(PyObject* self) {
  return reinterpret_cast<DiscoverAccountsResultObject*>(self);
}

// The object with its empty list and `handle`; the list comes first, so a failure leaves the
// handle with whoever holds it and never makes an object that releases it.
PyObject* make_discover(PyTypeObject* type, DiscoverHandle handle) {
  Ref accounts = Ref::steal(PyList_New(0));
  PyObject* self = accounts ? type->tp_alloc(type, 0) : nullptr;
  if (self) {
    as_discover(self)->accounts = accounts.release();
    as_discover(self)->handle = handle;
  }
  return self;
}

PyObject* new_discover(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  int64_t raw = 0;
  if (!parse_raw_handle(type->tp_name, args, kwargs, &raw)) return nullptr;
  return make_discover(type, handle_from_int<DiscoverHandle>(raw));
}

int traverse_discover(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_discover(self)->accounts);
  return 0;
}

int clear_discover(PyObject* self) {
  Py_XSETREF(as_discover(self)->accounts, Py_NewRef(Py_None));
  return 0;
}

void dealloc_discover(PyObject* self) {
  PyObject_GC_UnTrack(self);
  DiscoverAccountsResultObject* result = as_discover(self);
  {
    PendingExceptionGuard guard;
    // The accounts go before the result handle, and a list a caller still holds ends up empty.
    if (result->accounts && PyList_Check(result->accounts) &&
        PyList_SetSlice(result->accounts, 0, PY_SSIZE_T_MAX, nullptr) < 0)
      PyErr_Clear();
    release_handle<DiscoverHandle, VESSARUNTIME_ReleaseDiscoverAccountsResult>(result->handle);
    Py_CLEAR(result->accounts);
  }
  Py_TYPE(self)->tp_free(self);
}

// Asks the runtime for the accounts by index, 0 upwards, until it stores a null account.
// They are gathered apart and enter the object's list only once all are there: a failure
// part-way releases the accounts taken so far and leaves the list empty, so the next call
// enumerates from index 0 into an empty list and never repeats an account.
bool enumerate_accounts(DiscoverAccountsResultObject* result) {
  Ref found = Ref::steal(PyList_New(0));
  if (!found) return false;
  DiscoverHandle handle = result->handle;
  // Set once: the runtime stores into it on every call, a null account past the last one.
  VESSARUNTIME_ACCOUNT_HANDLE account_handle = nullptr;
  for (int32_t index = 0;; ++index) {
    VESSARUNTIME_ERROR_HANDLE error = without_gil([&] {
      return VESSARUNTIME_DiscoverAccountsResult_GetAccount(handle, index, &account_handle);
    });
    if (!check_error(error)) return false;
    if (!account_handle) break;
    Ref account = Ref::steal(new_account(OwnedAccount(account_handle)));
    if (!account || PyList_Append(found.get(), account.get()) < 0) return false;
  }
  if (!PyList_Check(result->accounts)) {
    // Only a result whose references the garbage collector has broken gets here.
    PyErr_SetString(PyExc_RuntimeError, "the accounts list of this result has been cleared");
    return false;
  }
  return PyList_SetSlice(result->accounts, 0, PY_SSIZE_T_MAX, found.get()) == 0;
}

// VESSARuntimeDiscoverAccountsResult.get_accounts(self): the object's own list, the same list
// object on every call; filled by the first call that completes an enumeration.
PyObject* get_accounts(PyObject* self, PyObject* const*) {
  DiscoverAccountsResultObject* result = as_discover(self);
  if (result->accounts_loaded) return Py_NewRef(result->accounts);
  const unsigned long me = PyThread_get_thread_ident();
  if (result->loader == me) {
    PyErr_SetString(PyExc_RuntimeError,
                    "get_accounts() called again while this thread enumerates the accounts");
    return nullptr;
  }
  PyMutex_Lock(&result->loading);
  // Another thread may have completed the enumeration while this one waited.
  bool ok = true;
  if (!result->accounts_loaded) {
    result->loader = me;
    ok = enumerate_accounts(result);
    result->loader = 0;
    if (ok) result->accounts_loaded = 1;
  }
  PyMutex_Unlock(&result->loading);
  return ok ? Py_NewRef(result->accounts) : nullptr;
}

PyTypeObject make_discover_type() {
  PyTypeObject type = make_class(
      PVR_CLASS_NAME("VESSARuntimeDiscoverAccountsResult"), sizeof(DiscoverAccountsResultObject),
      new_discover, dealloc_discover, PVR_RAW_HANDLE_DOC("VESSARuntimeDiscoverAccountsResult"));
  type.tp_flags |= Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = traverse_discover;
  type.tp_clear = clear_discover;
  return type;
}

#define PVR_DOC(cls, method) #cls "." #method "(self)"

const FunctionDef kSignOutResultMethods[] = {
    {"get_error",
     get_error<SignOutHandle, VESSARUNTIME_SignOutResult_GetError>,
     PVR_DOC(VESSARuntimeSignOutResult, get_error),
     {}},
    {"get_telemetry_data",
     get_telemetry_data<SignOutHandle, VESSARUNTIME_SignOutResult_GetTelemetryData,
                        NoTelemetry::kNone>,
     PVR_DOC(VESSARuntimeSignOutResult, get_telemetry_data),
     {}},
};

const FunctionDef kReadAccountResultMethods[] = {
    {"get_account",
     get_account<ReadAccountHandle, VESSARUNTIME_ReadAccountResult_GetAccount>,
     PVR_DOC(VESSARuntimeReadAccountResult, get_account),
     {}},
    {"get_error",
     get_error<ReadAccountHandle, VESSARUNTIME_ReadAccountResult_GetError>,
     PVR_DOC(VESSARuntimeReadAccountResult, get_error),
     {}},
    {"get_telemetry_data",
     get_telemetry_data<ReadAccountHandle, VESSARUNTIME_ReadAccountResult_GetTelemetryData,
                        NoTelemetry::kNone>,
     PVR_DOC(VESSARuntimeReadAccountResult, get_telemetry_data),
     {}},
};

const FunctionDef kDiscoverAccountsResultMethods[] = {
    {"get_accounts", get_accounts, PVR_DOC(VESSARuntimeDiscoverAccountsResult, get_accounts), {}},
    {"get_error",
     get_error<DiscoverHandle, VESSARUNTIME_DiscoverAccountsResult_GetError>,
     PVR_DOC(VESSARuntimeDiscoverAccountsResult, get_error),
     {}},
    {"get_telemetry_data",
     get_telemetry_data<DiscoverHandle, VESSARUNTIME_DiscoverAccountsResult_GetTelemetryData,
                        NoTelemetry::kNone>,
     PVR_DOC(VESSARuntimeDiscoverAccountsResult, get_telemetry_data),
     {}},
};

#undef PVR_DOC

}  // namespace

PyTypeObject SignOutResultType =
    make_class(PVR_CLASS_NAME("VESSARuntimeSignOutResult"), sizeof(HandleObject<SignOutHandle>),
               new_from_raw_handle<SignOutHandle>,
               dealloc_releasing<SignOutHandle, VESSARUNTIME_ReleaseSignOutResult>,
               PVR_RAW_HANDLE_DOC("VESSARuntimeSignOutResult"));

PyTypeObject ReadAccountResultType =
    make_class(PVR_CLASS_NAME("VESSARuntimeReadAccountResult"),
               sizeof(HandleObject<ReadAccountHandle>), new_from_raw_handle<ReadAccountHandle>,
               dealloc_releasing<ReadAccountHandle, VESSARUNTIME_ReleaseReadAccountResult>,
               PVR_RAW_HANDLE_DOC("VESSARuntimeReadAccountResult"));

PyTypeObject DiscoverAccountsResultType = make_discover_type();

PyObject* adopt_discover_result(OwnedDiscoverResult& owner) {
  PyObject* self = make_discover(&DiscoverAccountsResultType, owner.get());
  if (self) static_cast<void>(owner.release());
  return self;
}

const FunctionTable signout_result_methods = kSignOutResultMethods;
const FunctionTable read_account_result_methods = kReadAccountResultMethods;
const FunctionTable discover_accounts_result_methods = kDiscoverAccountsResultMethods;

}  // namespace pvr
