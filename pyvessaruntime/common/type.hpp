// A zeroed static type object, ready to be filled in and readied.
#pragma once

#include <Python.h>

namespace pvr {

inline PyTypeObject blank_type(const char* name, Py_ssize_t basic_size) {
  PyTypeObject type{};
  // The header every static type starts with (immortal where the interpreter has immortal
  // objects): static types live as long as the process.
  static const PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
  type.ob_base = head;
  type.tp_name = name;
  type.tp_basicsize = basic_size;
  return type;
}

}  // namespace pvr
