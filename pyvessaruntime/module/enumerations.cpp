// The enumerations Response_Status, LogLevel and SsoPolicyType.
//
// They derive from Enum, not IntEnum: a member never equals its integer, so callers compare
// members with members. Each is built the way a class statement builds it: the enumeration
// metaclass prepares the namespace and receives the members one by one, in order.
#include "module/enumerations.hpp"

#include <initializer_list>
#include <vector>

#include "common/ref.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

// The class the module made for an enumeration and its members by value; kept for the life of
// the module's owner, like the module itself.
struct MemberTable {
  PyObject* cls = nullptr;
  long first_value = 0;
  std::vector<PyObject*> members;
};

MemberTable tables[3];

PyObject* enumeration_name(Enumeration which) {
  switch (which) {
    case Enumeration::kResponseStatus:
      return state::names.Response_Status;
    case Enumeration::kLogLevel:
      return state::names.LogLevel;
    case Enumeration::kSsoPolicyType:
      break;
  }
  return state::names.SsoPolicyType;
}

bool remember_members(Enumeration which, PyObject* cls, long first_value) {
  Ref members = Ref::steal(PySequence_List(cls));
  if (!members) return false;
  MemberTable& table = tables[static_cast<int>(which)];
  for (PyObject* member : table.members) Py_DECREF(member);
  table.members.clear();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i)
    table.members.push_back(Py_NewRef(PyList_GET_ITEM(members.get(), i)));
  Py_XSETREF(table.cls, Py_NewRef(cls));
  table.first_value = first_value;
  return true;
}

bool define_enumeration(Enumeration which, const char* name,
                        std::initializer_list<const char*> members, int first_value) {
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
    if (!key || !number || PyObject_SetItem(namespace_.get(), key.get(), number.get()) < 0)
      return false;
  }
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(),
                                                    namespace_.get(), nullptr));
  return cls && PyDict_SetItem(state::ns, class_name.get(), cls.get()) == 0 &&
         remember_members(which, cls.get(), first_value);
}

}  // namespace

bool define_enumerations() {
  return define_enumeration(Enumeration::kResponseStatus, "Response_Status",
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
         define_enumeration(Enumeration::kLogLevel, "LogLevel",
                            {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"}, 1) &&
         define_enumeration(Enumeration::kSsoPolicyType, "SsoPolicyType",
                            {"Unknown", "PermissionRequired", "AlwaysAllowed", "Error"}, 0);
}

PyObject* tabled_member(Enumeration which, long value) {
  const MemberTable& table = tables[static_cast<int>(which)];
  const long index = value - table.first_value;
  const bool tabled = index >= 0 && index < static_cast<long>(table.members.size());
  return tabled && table.cls && state::peek(enumeration_name(which)) == table.cls
             ? table.members[index]
             : nullptr;
}

Ref enumeration_member(Enumeration which, long value) {
  if (PyObject* member = tabled_member(which, value)) return Ref::borrow(member);
  const MemberTable& table = tables[static_cast<int>(which)];
  const long index = value - table.first_value;
  const bool tabled = index >= 0 && index < static_cast<long>(table.members.size());
  Ref cls = state::lookup(enumeration_name(which));
  if (!cls) return cls;
  if (tabled && cls.get() == table.cls) return Ref::borrow(table.members[index]);
  Ref number = Ref::steal(PyLong_FromLong(value));
  return number ? Ref::steal(PyObject_CallOneArg(cls.get(), number.get())) : Ref();
}

bool enumeration_unchanged(Enumeration which) {
  const MemberTable& table = tables[static_cast<int>(which)];
  PyObject* bound = state::peek(enumeration_name(which));
  return bound && bound == table.cls &&
         reinterpret_cast<PyTypeObject*>(bound)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

void forget_enumerations(bool release) {
  for (MemberTable& table : tables) {
    if (release) {
      for (PyObject* member : table.members) Py_DECREF(member);
      Py_XDECREF(table.cls);
    }
    table.cls = nullptr;
    table.members.clear();
  }
}

}  // namespace pvr
