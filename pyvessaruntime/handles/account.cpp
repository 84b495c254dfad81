// VESSARuntimeAccount: one account known to the runtime, read property by property.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {

PyTypeObject AccountType = make_class(
    PVR_CLASS_NAME("VESSARuntimeAccount"), sizeof(HandleObject<VESSARUNTIME_ACCOUNT_HANDLE>),
    new_from_raw_handle<VESSARUNTIME_ACCOUNT_HANDLE>,
    dealloc_releasing<VESSARUNTIME_ACCOUNT_HANDLE, VESSARUNTIME_ReleaseAccount>);

const FunctionTable account_methods;

}  // namespace pvr
