// Runtime start-up and shut-down, the event factory and the SSO-policy query.
//
// The module keeps no started flag: every call goes to the runtime, which decides.
#include "common/gil.hpp"
#include "common/ref.hpp"
#include "marshal/errors.hpp"
#include "module/enumerations.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

using state::names;

// _startup_vessaruntime()
PyObject* startup(PyObject*, PyObject* const*) {
  if (!check_error(without_gil([] { return VESSARUNTIME_Startup(); }))) return nullptr;
  Py_RETURN_NONE;
}

// _shutdown_vessaruntime(): log registrations first, in the order they were made, so no log
// line reaches Python once the runtime stops. If one release raises, the runtime keeps running.
PyObject* shutdown(PyObject*, PyObject* const*) {
  Ref storage = state::lookup(names.logCallbackStorage);
  if (!storage) return nullptr;
  Ref handles = Ref::steal(PySequence_List(storage.get()));
  if (!handles) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handles.get()); ++i) {
    Ref released = Ref::steal(PyObject_CallMethodNoArgs(PyList_GET_ITEM(handles.get(), i),
                                                        names.release_logging_callback));
    if (!released) return nullptr;
  }
  without_gil([] { VESSARUNTIME_Shutdown(); });
  Py_RETURN_NONE;
}

// _get_VESSARuntime_event(): a new, unset threading.Event (whatever `Event` names right now).
PyObject* get_event(PyObject*, PyObject* const*) {
  Ref event_class = state::lookup(names.Event);
  return event_class ? PyObject_CallNoArgs(event_class.get()) : nullptr;
}

// get_sso_policy()
PyObject* get_sso_policy(PyObject*, PyObject* const*) {
  int32_t policy = 0;
  if (!raise_if_error(without_gil([&] { return VESSARUNTIME_GetSsoPolicy(&policy); }),
                      "get_sso_policy"))
    return nullptr;
  return enumeration_member(Enumeration::kSsoPolicyType, policy).release();
}

const FunctionDef kEventFunctions[] = {
    {"_get_VESSARuntime_event", get_event, "_get_VESSARuntime_event()", {}},
};

const FunctionDef kLifecycleFunctions[] = {
    {"get_sso_policy", get_sso_policy, "get_sso_policy()", {}},
    {"_startup_vessaruntime", startup, "_startup_vessaruntime()", {}},
    {"_shutdown_vessaruntime", shutdown, "_shutdown_vessaruntime()", {}},
};

}  // namespace

const FunctionTable event_functions = kEventFunctions;
const FunctionTable lifecycle_functions = kLifecycleFunctions;

}  // namespace pvr
