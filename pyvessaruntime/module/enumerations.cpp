// The enumerations Response_Status, LogLevel and SsoPolicyType.
//
// They derive from Enum, not IntEnum: a member never equals its integer, so callers compare
// members with members. Each is built the way a class statement builds it: the enumeration
// metaclass prepares the namespace and receives the members one by one, in order.
#include "common/ref.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

#include <initializer_list>

namespace pvr {
namespace {

bool define_enumeration(const char* name, std::initializer_list<const char*> members, int first_value) {
  using state::names;
  Ref enum_base = state::lookup(names.Enum);
  if (!enum_base) return false;
  Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
  Ref bases = Ref::steal(PyTuple_Pack(1, enum_base.get()));
  if (!class_name || !bases) return false;
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(enum_base.get()));
  PyObject* prepare_args[] = {metaclass, class_name.get(), bases.get()};
  Ref namespace_ = Ref::steal(PyObject_VectorcallMethod(
      names.dunder_prepare, prepare_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!namespace_ ||
      PyObject_SetItem(namespace_.get(), names.dunder_module, names.module_name) < 0 ||
      PyObject_SetItem(namespace_.get(), names.dunder_qualname, class_name.get()) < 0)
    return false;
  int value = first_value;
  for (const char* member : members) {
    Ref key = Ref::steal(PyUnicode_InternFromString(member));
    Ref number = Ref::steal(PyLong_FromLong(value++));
    if (!key || !number || PyObject_SetItem(namespace_.get(), key.get(), number.get()) < 0) return false;
  }
  Ref cls = Ref::steal(
      PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(), namespace_.get(), nullptr));
  return cls && PyDict_SetItem(state::ns, class_name.get(), cls.get()) == 0;
}

}  // namespace

bool define_enumerations() {
  return define_enumeration("Response_Status",
                            {"Status_Unexpected",
                             "Status_Reserved",
                             "Status_InteractionRequired",
                             "Status_NoNetwork",
                             "Status_NetworkTemporarilyUnavailable",
                             "Status_ServerTemporarilyUnavailable",
                             "Status_ApiContractViolation",
                             "Status_UserCanceled",
                             "Status_ApplicationCanceled",
                             "Status_IncorrectConfiguration",
                             "Status_InsufficientBuffer",
                             "Status_AuthorityUntrusted",
                             "Status_UserSwitch",
                             "Status_AccountUnusable",
                             "Status_UserDataRemovalRequired",
                             "Status_KeyNotFound",
                             "Status_AccountNotFound",
                             "Status_TransientError",
                             "Status_AccountSwitch",
                             "Status_RequiredBrokerMissing",
                             "Status_DeviceNotRegistered",
                             "Status_FallbackToNativeVessa"},
                            0) &&
         define_enumeration("LogLevel", {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"}, 1) &&
         define_enumeration("SsoPolicyType", {"Unknown", "PermissionRequired", "AlwaysAllowed", "Error"}, 0);
}

}  // namespace pvr
