#include "results/plain_scopes.hpp"

namespace pvr {
namespace {

// An ASCII text that str.split() leaves whole: no whitespace (as str.isspace() sees it in ASCII)
// and no NUL, which the runtime would take as the text's end.
bool plain_scope(PyObject* scope) {
  if (!PyUnicode_CheckExact(scope) || !PyUnicode_IS_ASCII(scope)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(scope);
  if (length == 0) return false;
  const auto* units = static_cast<const unsigned char*>(PyUnicode_DATA(scope));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const unsigned char unit = units[i];
    if (unit == 0 || unit == ' ' || (unit >= '\t' && unit <= '\r') ||
        (unit >= 0x1c && unit <= 0x1f))
      return false;
  }
  return true;
}

}  // namespace

PyObject* plain_scopes(PyObject* scopes) {
  if (!PyList_CheckExact(scopes) && !PyTuple_CheckExact(scopes)) Py_RETURN_NONE;
  PyObject* list = PySequence_List(scopes);
  if (!list) return nullptr;
  for (Py_ssize_t i = 0, count = PyList_GET_SIZE(list); i < count; ++i) {
    if (!plain_scope(PyList_GET_ITEM(list, i))) {
      Py_DECREF(list);
      Py_RETURN_NONE;
    }
  }
  return list;
}

}  // namespace pvr
