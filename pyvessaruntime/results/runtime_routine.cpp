#include "results/runtime_routine.hpp"

#include "common/gil.hpp"

namespace pvr {
namespace {

// Routines of the runtime marked with ``with runtime_routine:`` on this thread, nested.
thread_local int depth PVR_FAST_TLS = 0;

PyObject* routine_enter(PyObject*, PyObject*) {
  ++depth;
  Py_RETURN_NONE;
}

PyObject* routine_exit(PyObject*, PyObject* const*, Py_ssize_t) {
  if (depth > 0) --depth;
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

bool on_runtime_thread() {
  return depth > 0;
}

PyType_Spec kRuntimeRoutineSpec = {
    "pyvessaruntime._results.RuntimeRoutine",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    routine_slots,
};

}  // namespace pvr
