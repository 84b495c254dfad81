// VESSARuntimeAsyncHandle: owns the runtime's handle of one started asynchronous operation.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {

PyTypeObject AsyncHandleType =
    make_class(PVR_CLASS_NAME("VESSARuntimeAsyncHandle"), sizeof(HandleObject<VESSARUNTIME_ASYNC_HANDLE>),
               new_empty, dealloc_releasing<VESSARUNTIME_ASYNC_HANDLE, VESSARUNTIME_ReleaseAsyncHandle>);

const FunctionTable async_handle_methods;

}  // namespace pvr
