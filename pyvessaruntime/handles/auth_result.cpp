// VESSARuntimeAuthResult: the outcome of a sign-in or token operation.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {

PyTypeObject AuthResultType = make_class(
    PVR_CLASS_NAME("VESSARuntimeAuthResult"), sizeof(HandleObject<VESSARUNTIME_AUTH_RESULT_HANDLE>),
    new_from_raw_handle<VESSARUNTIME_AUTH_RESULT_HANDLE>,
    dealloc_releasing<VESSARUNTIME_AUTH_RESULT_HANDLE, VESSARUNTIME_ReleaseAuthResult>);

const FunctionTable auth_result_methods;

}  // namespace pvr
