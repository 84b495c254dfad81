#include "results/runtime_routine.hpp"

#include "common/gil.hpp"

namespace pvr {
namespace {

struct ThreadRole {
  int depth = 0;         // routines of the runtime running on this thread, nested
  bool decided = false;  // whether `runtime` was decided for this thread
  bool runtime = false;  // a thread Python did not start, on which the runtime has called back
};

thread_local ThreadRole role PVR_FAST_TLS;

// Python represents a thread it did not start by a dummy thread object. Undecided when that
// cannot be asked (as the interpreter ends): the next routine asks again.
void decide_role() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (!threading) return PyErr_Clear();
  PyObject* current = PyObject_CallMethod(threading, "current_thread", nullptr);
  PyObject* dummy = PyObject_GetAttrString(threading, "_DummyThread");
  const int is_dummy = current && dummy ? PyObject_IsInstance(current, dummy) : -1;
  Py_XDECREF(dummy);
  Py_XDECREF(current);
  Py_DECREF(threading);
  if (is_dummy < 0) return PyErr_Clear();
  role.decided = true;
  role.runtime = is_dummy != 0;
}

PyObject* routine_enter(PyObject*, PyObject*) {
  enter_runtime_routine();
  Py_RETURN_NONE;
}

PyObject* routine_exit(PyObject*, PyObject* const*, Py_ssize_t) {
  leave_runtime_routine();
  Py_RETURN_NONE;
}

PyMethodDef routine_methods[] = {
    {"__enter__", routine_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(routine_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot routine_slots[] = {
    {Py_tp_doc, const_cast<char*>("``with runtime_routine:`` around the Python code of a routine "
                                  "the runtime calls.")},
    {Py_tp_methods, routine_methods},
    {0, nullptr},
};

}  // namespace

void enter_runtime_routine() {
  ++role.depth;
  if (!role.decided) decide_role();
}

void leave_runtime_routine() {
  if (role.depth > 0) --role.depth;
}

bool on_runtime_thread() {
  return role.depth > 0 || role.runtime;
}

PyType_Spec kRuntimeRoutineSpec = {
    "pyvessaruntime._results.RuntimeRoutine",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    routine_slots,
};

}  // namespace pvr
