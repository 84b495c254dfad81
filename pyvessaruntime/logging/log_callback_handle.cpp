// VESSARuntimeLogCallbackHandle: stands for one log-routine registration with the runtime.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using LogCallbackObject = HandleObject<VESSARUNTIME_LOG_CALLBACK_HANDLE>;

// Destroying the object does not end a registration: while registered, the module's log
// storage keeps it alive, and only release_logging_callback ends it.
void dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

}  // namespace

PyTypeObject LogCallbackHandleType = make_class(PVR_CLASS_NAME("VESSARuntimeLogCallbackHandle"),
                                                sizeof(LogCallbackObject), new_empty, dealloc);

const FunctionTable log_callback_handle_methods;
const FunctionTable logging_functions;

}  // namespace pvr
