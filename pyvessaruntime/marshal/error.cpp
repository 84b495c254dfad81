// VESSARuntimeError: owns one runtime error handle and reads its status, code, tag and context.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

void dealloc(PyObject* self) {
  {
    PendingExceptionGuard guard;
    if (VESSARUNTIME_ERROR_HANDLE error = handle_of<VESSARUNTIME_ERROR_HANDLE>(self)) {
      // What releasing an error answers is of no use to anyone: ignored.
      without_gil([&] { return VESSARUNTIME_ReleaseError(error); });
    }
  }
  Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject ErrorType = make_class(PVR_CLASS_NAME("VESSARuntimeError"),
                                    sizeof(HandleObject<VESSARUNTIME_ERROR_HANDLE>), new_empty, dealloc);

const FunctionTable error_methods;

}  // namespace pvr
