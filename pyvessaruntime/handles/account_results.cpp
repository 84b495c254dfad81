// The results of the account operations: sign-out, read-account and discover-accounts.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

// The discover result keeps the accounts it has enumerated, so it takes part in cyclic garbage
// collection (a caller may put the result into its own list of accounts).
struct DiscoverAccountsResultObject {
  PyObject_HEAD
  VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE handle;
  PyObject* accounts;  // the list handed out by get_accounts; None once cleared
  int32_t accounts_loaded;
};

DiscoverAccountsResultObject* as_discover(PyObject* self) {
  return reinterpret_cast<DiscoverAccountsResultObject*>(self);
}

PyObject* new_discover(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* self = new_from_raw_handle<VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE>(type, args, kwargs);
  if (!self) return nullptr;
  as_discover(self)->accounts = PyList_New(0);
  if (!as_discover(self)->accounts) Py_CLEAR(self);
  return self;
}

int traverse_discover(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_discover(self)->accounts);
  return 0;
}

int clear_discover(PyObject* self) {
  Py_XSETREF(as_discover(self)->accounts, Py_None);
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
    release_handle<VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE,
                   VESSARUNTIME_ReleaseDiscoverAccountsResult>(result->handle);
    Py_CLEAR(result->accounts);
  }
  Py_TYPE(self)->tp_free(self);
}

PyTypeObject make_discover_type() {
  PyTypeObject type = make_class(PVR_CLASS_NAME("VESSARuntimeDiscoverAccountsResult"),
                                 sizeof(DiscoverAccountsResultObject), new_discover, dealloc_discover);
  type.tp_flags |= Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = traverse_discover;
  type.tp_clear = clear_discover;
  return type;
}

}  // namespace

PyTypeObject SignOutResultType = make_class(
    PVR_CLASS_NAME("VESSARuntimeSignOutResult"), sizeof(HandleObject<VESSARUNTIME_SIGNOUT_RESULT_HANDLE>),
    new_from_raw_handle<VESSARUNTIME_SIGNOUT_RESULT_HANDLE>,
    dealloc_releasing<VESSARUNTIME_SIGNOUT_RESULT_HANDLE, VESSARUNTIME_ReleaseSignOutResult>);

PyTypeObject ReadAccountResultType = make_class(
    PVR_CLASS_NAME("VESSARuntimeReadAccountResult"),
    sizeof(HandleObject<VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE>),
    new_from_raw_handle<VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE>,
    dealloc_releasing<VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE, VESSARUNTIME_ReleaseReadAccountResult>);

PyTypeObject DiscoverAccountsResultType = make_discover_type();

const FunctionTable signout_result_methods;
const FunctionTable read_account_result_methods;
const FunctionTable discover_accounts_result_methods;

}  // namespace pvr
