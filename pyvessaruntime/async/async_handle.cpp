// VESSARuntimeAsyncHandle: owns the runtime's handle of one started asynchronous operation.
//
// The object holds nothing else: the pending callback lives in the callback storage, and
// neither keeps the other alive.
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using Handle = VESSARUNTIME_ASYNC_HANDLE;

// VESSARuntimeAsyncHandle.cancel_async_operation(self): the handle goes to the runtime as it is,
// null included; what cancelling means for the operation is the runtime's to decide, and the
// callback record stays stored until the completion arrives.
PyObject* cancel_async_operation(PyObject* self, PyObject* const*) {
  Handle handle = handle_of<Handle>(self);
  VESSARUNTIME_ERROR_HANDLE vrt_error =
      without_gil([&] { return VESSARUNTIME_CancelAsyncOperation(handle); });
  if (!check_error(vrt_error)) return nullptr;
  Py_RETURN_NONE;
}

const FunctionDef kAsyncHandleMethods[] = {
    {"cancel_async_operation",
     cancel_async_operation,
     "VESSARuntimeAsyncHandle.cancel_async_operation(self)",
     {}},
};

}  // namespace

PyTypeObject AsyncHandleType =
    make_class(PVR_CLASS_NAME("VESSARuntimeAsyncHandle"), sizeof(HandleObject<Handle>), new_empty,
               dealloc_releasing<Handle, VESSARUNTIME_ReleaseAsyncHandle>);

const FunctionTable async_handle_methods = kAsyncHandleMethods;

}  // namespace pvr
