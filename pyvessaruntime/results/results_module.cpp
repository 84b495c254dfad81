// pyvessaruntime._results: what the typed layer does at every call, in C: the native module's
// result readers, which that module's namespace cannot hold; the started operations
// (results/pending.hpp); and which threads must not wait for the runtime
// (results/runtime_routine.hpp).
//
// What the native module hands over (module/layer_access.hpp) is found in the dictionary of the
// interpreter importing this module, where the native module puts it as it executes in the
// interpreter that owns it. In any other interpreter there is none, and the import fails: the
// native module cannot run there either.
#include "common/python.hpp"

#include "module/layer_access.hpp"
#include "results/pending.hpp"
#include "results/plain_scopes.hpp"
#include "results/runtime_routine.hpp"

namespace {

const pvr::LayerAccess* native_of(PyObject* module) {
  return pvr::results_state(module)->native;
}

PyObject* read_token(PyObject* module, PyObject* result) {
  return native_of(module)->read_token(result);
}

PyObject* read_account(PyObject* module, PyObject* account) {
  return native_of(module)->read_account(account);
}

PyObject* start(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  return pvr::start_operation(module, args, count);
}

PyObject* configure(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  if (count != 4 || !PySet_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "configure() takes a set and three callables");
    return nullptr;
  }
  pvr::LayerHooks& hooks = pvr::results_state(module)->hooks;
  Py_XSETREF(hooks.started, Py_NewRef(args[0]));
  Py_XSETREF(hooks.failure, Py_NewRef(args[1]));
  Py_XSETREF(hooks.refused, Py_NewRef(args[2]));
  Py_XSETREF(hooks.no_result, Py_NewRef(args[3]));
  Py_RETURN_NONE;
}

PyObject* configure_values(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  if (pvr::configure_value_makers(pvr::results_state(module)->makers, args, count) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* make_token(PyObject* module, PyObject* reads) {
  return pvr::make_token(pvr::results_state(module)->makers, reads);
}

PyObject* make_account(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  if (count != 2) {
    PyErr_SetString(PyExc_TypeError, "make_account() takes a runtime account and its answers");
    return nullptr;
  }
  return pvr::make_account(pvr::results_state(module)->makers, args[0], args[1]);
}

PyObject* plain_scopes(PyObject*, PyObject* scopes) {
  return pvr::plain_scopes(scopes);
}

PyObject* on_runtime_thread(PyObject* module, PyObject*) {
  return PyBool_FromLong(pvr::on_runtime_thread() || native_of(module)->in_runtime_routine());
}

PyObject* owner_ended(PyObject* module, PyObject*) {
  return PyBool_FromLong(native_of(module)->owner_ended());
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
  if (type && PyModule_AddType(module, type) < 0) Py_CLEAR(type);
  return type;
}

int add_types(PyObject* module, pvr::ResultsState* state) {
  state->pending_type = add_type(module, &pvr::kPendingSpec);
  state->delivery_type = add_type(module, &pvr::kDeliverySpec);
  PyTypeObject* routine_type = add_type(module, &pvr::kRuntimeRoutineSpec);
  if (!state->pending_type || !state->delivery_type || !routine_type) {
    Py_XDECREF(routine_type);
    return -1;
  }
  PyObject* routine = PyType_GenericAlloc(routine_type, 0);
  Py_DECREF(routine_type);
  return PyModule_Add(module, "runtime_routine", routine);
}

int exec_module(PyObject* module) {
  // Importing the native module in its owner publishes its access there.
  PyObject* extension = PyImport_ImportModule("pyvessaruntime.pyvessaruntime");
  if (!extension) return -1;
  Py_DECREF(extension);
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* capsule = nullptr;
  if (dict && PyDict_GetItemStringRef(dict, pvr::kLayerAccessKey, &capsule) < 0) return -1;
  if (!capsule) {
    PyErr_SetString(
        PyExc_ImportError,
        "pyvessaruntime.pyvessaruntime has published no access for the typed layer in this "
        "interpreter");
    return -1;
  }
  void* native = PyCapsule_GetPointer(capsule, pvr::kLayerAccessCapsule);
  Py_DECREF(capsule);
  if (!native) return -1;
  pvr::ResultsState* state = pvr::results_state(module);
  state->native = static_cast<const pvr::LayerAccess*>(native);
  return add_types(module, state);
}

PyMethodDef methods[] = {
    {"read_token", read_token, METH_O,
     "read_token($module, result, /)\n--\n\nThe answers of an auth result's getters the typed "
     "layer reads."},
    {"read_account", read_account, METH_O,
     "read_account($module, account, /)\n--\n\nThe answers of an account's getters the typed layer "
     "reads."},
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start)), METH_FASTCALL,
     "start($module, operation, args, convert, /)\n--\n\nStart ``operation(*args, delivery)`` "
     "and return its Pending; the delivery converts the result with `convert`."},
    {"configure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure)),
     METH_FASTCALL,
     "configure($module, started, failure, refused, no_result, /)\n--\n\nWhat the typed layer "
     "decides for its operations: the set of those started and not completed, and how a failed "
     "conversion, a refused start and a completion without a result are reported."},
    {"configure_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(configure_values)), METH_FASTCALL,
     "configure_values($module, token, account, read_only_dict, frozen, claims, json_object, "
     "from_timestamp, utc, /)\n--\n\nThe classes of the typed layer's values and what makes "
     "their fields that are not plain answers."},
    {"make_token", make_token, METH_O,
     "make_token($module, reads, /)\n--\n\nThe Token of a successful auth result's answers, "
     "as read_token answers them."},
    {"make_account", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_account)),
     METH_FASTCALL,
     "make_account($module, native, reads, /)\n--\n\nThe Account of a runtime account object "
     "and its thirteen answers, as read_account answers them."},
    {"plain_scopes", plain_scopes, METH_O,
     "plain_scopes($module, scopes, /)\n--\n\nA new list of `scopes` when it is a list or a "
     "tuple of non-empty ASCII str without whitespace or NUL; None when the layer must check "
     "them itself."},
    {"on_runtime_thread", on_runtime_thread, METH_NOARGS,
     "on_runtime_thread($module, /)\n--\n\nWhether a wait for the runtime on this thread could "
     "never end: it runs a routine the runtime called (one that came inside this thread's own "
     "call of the runtime aside)."},
    {"owner_ended", owner_ended, METH_NOARGS,
     "owner_ended($module, /)\n--\n\nWhether the interpreter that owns the native module has "
     "begun to end, after which it accepts no operation and no log registration."},
    {nullptr, nullptr, 0, nullptr},
};

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  pvr::ResultsState* state = pvr::results_state(module);
  if (!state) return 0;
  Py_VISIT(state->pending_type);
  Py_VISIT(state->delivery_type);
  Py_VISIT(state->hooks.started);
  Py_VISIT(state->hooks.failure);
  Py_VISIT(state->hooks.refused);
  Py_VISIT(state->hooks.no_result);
  return pvr::visit_value_makers(state->makers, visit, arg);
}

int clear_module(PyObject* module) {
  pvr::ResultsState* state = pvr::results_state(module);
  if (!state) return 0;
  Py_CLEAR(state->pending_type);
  Py_CLEAR(state->delivery_type);
  Py_CLEAR(state->hooks.started);
  Py_CLEAR(state->hooks.failure);
  Py_CLEAR(state->hooks.refused);
  Py_CLEAR(state->hooks.no_result);
  pvr::clear_value_makers(state->makers);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "pyvessaruntime._results",
    nullptr,
    sizeof(pvr::ResultsState),
    methods,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__results(void) {
  return PyModuleDef_Init(&definition);
}
