// Process-wide state of the module and lookups by name in its namespace.
#include "module/state.hpp"

namespace pvr::state {

Names names;
PyObject* module = nullptr;
PyObject* ns = nullptr;
PyObject* builtins = nullptr;
PyObject* builtin_id = nullptr;

bool init_names() {
  if (names.module_name) return true;
#define PVR_INTERN_NAME(field, text) \
  if (!(names.field = PyUnicode_InternFromString(text))) return false;
  PVR_NAMES(PVR_INTERN_NAME)
#undef PVR_INTERN_NAME
  return true;
}

Ref lookup(PyObject* name) {
  PyObject* found = nullptr;
  int status = ns ? PyDict_GetItemRef(ns, name, &found) : 0;
  if (status == 0 && builtins) status = PyDict_GetItemRef(builtins, name, &found);
  if (status == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::steal(found);
}

}  // namespace pvr::state
