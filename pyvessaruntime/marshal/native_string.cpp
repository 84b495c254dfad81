// NativeString: one UTF-16 buffer that lives for the duration of one runtime call.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

struct NativeStringObject {
  PyObject_HEAD
  int32_t size;      // units including the terminator; the runtime writes it during a getter call
  PyObject* buffer;  // bytearray of size * 2 bytes, or None
};

PyObject* new_native_string(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) reinterpret_cast<NativeStringObject*>(self)->buffer = Py_NewRef(Py_None);
  return self;
}

void dealloc(PyObject* self) {
  Py_CLEAR(reinterpret_cast<NativeStringObject*>(self)->buffer);
  Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject NativeStringType = make_class(PVR_CLASS_NAME("NativeString"), sizeof(NativeStringObject),
                                           new_native_string, dealloc);

const FunctionTable native_string_methods;
const FunctionTable encoding_functions;

}  // namespace pvr
