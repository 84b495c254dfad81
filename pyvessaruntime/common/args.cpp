// Argument checks and integer coercions with the module's own messages.
#include "common/args.hpp"

#include "common/ref.hpp"

#include <climits>

namespace pvr::args {

bool incorrect_type(const char* name, const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               Py_TYPE(obj)->tp_name);
  return false;
}

bool must_not_be_none(const char* name) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", name);
  return false;
}

bool exact_str(PyObject* obj, const char* name, bool none_ok) {
  if (PyUnicode_CheckExact(obj) || (none_ok && obj == Py_None)) return true;
  return incorrect_type(name, "str", obj);
}

bool instance_of(PyObject* obj, PyTypeObject* type, const char* name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  return incorrect_type(name, type->tp_name, obj);
}

bool not_none(PyObject* obj, const char* name) {
  return obj != Py_None || must_not_be_none(name);
}

namespace {

// An int (or subclass) as a new reference, through __int__ for other objects.
Ref as_int(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (!number || !number->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return Ref();
  }
  Ref value = Ref::steal(number->nb_int(obj));
  if (value && !PyLong_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(value.get())->tp_name);
    return Ref();
  }
  return value;
}

}  // namespace

bool to_int64(PyObject* obj, int64_t* out) {
  Ref value = as_int(obj);
  if (!value) return false;
  long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_int32(PyObject* obj, int32_t* out) {
  Ref value = as_int(obj);
  if (!value) return false;
  long v = PyLong_AsLong(value.get());
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

}  // namespace pvr::args
