// Construction helpers shared by the handle-owning classes.
#include "handles/handle_object.hpp"

#include <cstring>

#include "common/type.hpp"

namespace pvr {

PyObject* new_empty(PyTypeObject* type, PyObject*, PyObject*) {
  return type->tp_alloc(type, 0);
}

bool parse_raw_handle(const char* type_name, PyObject* args, PyObject* kwargs, int64_t* out) {
  static const char* keywords[] = {"rawHandle", nullptr};
  // The class's short name makes the host's argument-count messages name the class.
  const char* dot = std::strrchr(type_name, '.');
  char format[128];
  PyOS_snprintf(format, sizeof format, "O:%s", dot ? dot + 1 : type_name);
  PyObject* raw = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &raw))
    return false;
  if (raw == Py_None) return args::must_not_be_none("rawHandle");
  return args::to_int64(raw, out);
}

PyTypeObject make_class(const char* name, Py_ssize_t size, newfunc tp_new, destructor dealloc,
                        const char* doc) {
  PyTypeObject type = blank_type(name, size);
  type.tp_doc = doc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  type.tp_new = tp_new;
  type.tp_dealloc = dealloc;
  return type;
}

}  // namespace pvr
