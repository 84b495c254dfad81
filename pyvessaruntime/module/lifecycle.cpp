// Runtime start-up and shut-down, the event factory and the SSO-policy query.
#include "common/ref.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

// _get_VESSARuntime_event(): a new, unset threading.Event (whatever `Event` names right now).
PyObject* get_event(PyObject*, PyObject* const*) {
  Ref event_class = state::lookup(state::names.Event);
  return event_class ? PyObject_CallNoArgs(event_class.get()) : nullptr;
}

const FunctionDef kEventFunctions[] = {
    {"_get_VESSARuntime_event", get_event, "_get_VESSARuntime_event()", {}},
};

}  // namespace

const FunctionTable event_functions = kEventFunctions;
const FunctionTable lifecycle_functions;

}  // namespace pvr
