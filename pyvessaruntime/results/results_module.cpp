// pyvessaruntime._results: the typed layer's way to the native module's result readers
// (handles/result_reader.hpp), which that module's namespace cannot hold.
//
// The readers are found in the dictionary of the interpreter importing this module, where the
// native module puts them as it executes in the interpreter that owns it. In any other
// interpreter there are none, and the import fails: the layer then calls the getters.
#include <Python.h>

#include "handles/result_reader.hpp"

namespace {

const pvr::ResultReaders* readers_of(PyObject* module) {
  return *static_cast<const pvr::ResultReaders**>(PyModule_GetState(module));
}

PyObject* read_token(PyObject* module, PyObject* result) {
  return readers_of(module)->token(result);
}

PyObject* read_account(PyObject* module, PyObject* account) {
  return readers_of(module)->account(account);
}

int exec_module(PyObject* module) {
  // Importing the native module in its owner publishes the readers there.
  PyObject* native = PyImport_ImportModule("pyvessaruntime.pyvessaruntime");
  if (!native) return -1;
  Py_DECREF(native);
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* capsule = nullptr;
  if (dict && PyDict_GetItemStringRef(dict, pvr::kResultReadersKey, &capsule) < 0) return -1;
  if (!capsule) {
    PyErr_SetString(PyExc_ImportError,
                    "pyvessaruntime.pyvessaruntime has published no result readers in this "
                    "interpreter");
    return -1;
  }
  void* readers = PyCapsule_GetPointer(capsule, pvr::kResultReadersCapsule);
  Py_DECREF(capsule);
  if (!readers) return -1;
  *static_cast<const pvr::ResultReaders**>(PyModule_GetState(module)) =
      static_cast<const pvr::ResultReaders*>(readers);
  return 0;
}

PyMethodDef methods[] = {
    {"read_token", read_token, METH_O,
     "read_token($module, result, /)\n--\n\nThe answers of an auth result's getters the typed "
     "layer reads."},
    {"read_account", read_account, METH_O,
     "read_account($module, account, /)\n--\n\nThe answers of an account's getters the typed layer "
     "reads."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "pyvessaruntime._results",
    nullptr,
    sizeof(const pvr::ResultReaders*),
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__results(void) {
  return PyModuleDef_Init(&definition);
}
