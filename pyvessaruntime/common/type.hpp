// A zeroed static type object, ready to be filled in and readied.
#pragma once

#include "common/python.hpp"

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

// Returns a readied static type to its unreadied state, so that the next interpreter to own the
// module readies it afresh. With `release`, in the interpreter that readied it, what readying
// made goes; otherwise it is left untouched: the dictionary, bases, method resolution order,
// subclass and weak-reference lists were objects of an interpreter that has ended (freed with it
// when it had an allocator of its own).
inline void forget_readied(PyTypeObject* type, bool release) {
  if (release && (type->tp_flags & Py_TPFLAGS_READY)) {
    PyType_Modified(type);  // no attribute cache answers for it any more
    Py_CLEAR(type->tp_dict);
    Py_CLEAR(type->tp_mro);
    Py_CLEAR(type->tp_bases);
  }
  type->tp_dict = nullptr;
  type->tp_bases = nullptr;
  type->tp_mro = nullptr;
  type->tp_subclasses = nullptr;
  type->tp_weaklist = nullptr;
  type->tp_cache = nullptr;
  type->tp_version_tag = 0;
  type->tp_flags &= ~Py_TPFLAGS_READY;
}

}  // namespace pvr
