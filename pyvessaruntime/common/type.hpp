// A zeroed static type object, ready to be filled in and readied.
#pragma once

#include <Python.h>

namespace pvr {

inline PyTypeObject blank_type(const char* name, Py_ssize_t basic_size) {
  PyTypeObject type{};
  // Static types live as long as the process, as the interpreter's own static types do.
  type.ob_base.ob_base.ob_refcnt = _Py_IMMORTAL_REFCNT;
  type.tp_name = name;
  type.tp_basicsize = basic_size;
  return type;
}

}  // namespace pvr
