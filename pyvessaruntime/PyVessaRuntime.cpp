// Entry point of pyvessaruntime.pyvessaruntime: module definition, create and exec steps.
//
// All module state is process-wide (module/state.hpp), so one interpreter at a time owns the
// module (module/owner.hpp): the create step refuses any other while the owner lives, and a
// second import in the owner reuses its module.
#include "common/python.hpp"

#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "marshal/runtime_text.hpp"
#include "module/layer_access.hpp"
#include "module/owner.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

// ---- pickling refusals ----------------------------------------------------------------------

constexpr char kNoDefaultReduce[] = "no default __reduce__ due to non-trivial __cinit__";
constexpr char kHandleNotPicklable[] =
    "self._handle cannot be converted to a Python object for pickling";

template <const char* Message>
PyObject* refuse_pickling(PyObject*, PyObject* const*) {
  PyErr_SetString(PyExc_TypeError, Message);
  return nullptr;
}

template <const char* Message>
constexpr FunctionDef kPicklingHooks[] = {
    {"__reduce__", refuse_pickling<Message>, nullptr, {}},
    {"__setstate__", refuse_pickling<Message>, nullptr, {"state"}},
};

// ---- the ten classes ------------------------------------------------------------------------

struct ClassEntry {
  PyTypeObject* type;
  const FunctionTable* methods;
  FunctionTable pickling_hooks;
};

const ClassEntry kClasses[] = {
    {&LogCallbackHandleType, &log_callback_handle_methods, kPicklingHooks<kNoDefaultReduce>},
    {&AsyncHandleType, &async_handle_methods, kPicklingHooks<kNoDefaultReduce>},
    {&AccountType, &account_methods, kPicklingHooks<kNoDefaultReduce>},
    {&AuthParametersType, &auth_parameters_methods, kPicklingHooks<kHandleNotPicklable>},
    {&AuthResultType, &auth_result_methods, kPicklingHooks<kNoDefaultReduce>},
    {&SignOutResultType, &signout_result_methods, kPicklingHooks<kNoDefaultReduce>},
    {&ReadAccountResultType, &read_account_result_methods, kPicklingHooks<kNoDefaultReduce>},
    {&DiscoverAccountsResultType, &discover_accounts_result_methods,
     kPicklingHooks<kNoDefaultReduce>},
    {&ErrorType, &error_methods, kPicklingHooks<kNoDefaultReduce>},
    {&NativeStringType, &native_string_methods, kPicklingHooks<kNoDefaultReduce>},
};

bool register_classes(PyObject* module) {
  for (const ClassEntry& entry : kClasses) {
    // PyType_Ready is a no-op for a class readied by an earlier, failed import.
    if (PyType_Ready(entry.type) < 0) return false;
    const char* short_name = entry.type->tp_name + sizeof("pyvessaruntime.pyvessaruntime.") - 1;
    if (PyModule_AddObjectRef(module, short_name, reinterpret_cast<PyObject*>(entry.type)) < 0)
      return false;
    if (!add_methods(entry.type, entry.pickling_hooks)) return false;
  }
  return true;
}

// The pickling hooks, in place since registration, move behind the methods: a class lists its
// own methods first and the hooks last.
bool move_pickling_hooks_last(PyTypeObject* type) {
  for (const char* name : {"__reduce__", "__setstate__"}) {
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(type->tp_dict, name, &found) <= 0) return false;
    Ref hook = Ref::steal(found);
    if (PyDict_DelItemString(type->tp_dict, name) < 0 ||
        PyDict_SetItemString(type->tp_dict, name, hook.get()) < 0)
      return false;
  }
  PyType_Modified(type);
  return true;
}

bool add_class_methods(const ClassEntry* first, const ClassEntry* last) {
  for (const ClassEntry* entry = first; entry != last; ++entry) {
    if (!add_methods(entry->type, *entry->methods) || !move_pickling_hooks_last(entry->type))
      return false;
  }
  return true;
}

}  // namespace

void forget_classes(bool release) {
  for (const ClassEntry& entry : kClasses) forget_readied(entry.type, release);
  forget_function_types(release);
}

namespace {

// ---- module-level statements ----------------------------------------------------------------

bool import_names(const char* module_name, std::initializer_list<const char*> names) {
  Ref imported = Ref::steal(PyImport_ImportModule(module_name));
  if (!imported) return false;
  for (const char* name : names) {
    Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), name));
    if (!value || PyDict_SetItemString(state::ns, name, value.get()) < 0) return false;
  }
  return true;
}

bool import_module(const char* module_name) {
  Ref imported = Ref::steal(PyImport_ImportModule(module_name));
  return imported && PyDict_SetItemString(state::ns, module_name, imported.get()) == 0;
}

bool bind_new_dict(const char* name) {
  Ref dict = Ref::steal(PyDict_New());
  return dict && PyDict_SetItemString(state::ns, name, dict.get()) == 0;
}

// The module-level statements, in the order the module defines its names.
bool run_module_statements() {
  const std::size_t nclasses = std::size(kClasses);
  // Each step runs only once the one before has succeeded: none may start with an exception
  // pending.
  return import_names("enum", {"IntEnum", "Enum"}) && import_module("json") &&
         import_names("threading", {"Event"}) && add_functions(state::ns, window_functions) &&
         add_functions(state::ns, encoding_functions) && remember_own_encoder() &&
         add_functions(state::ns, event_functions) && define_enumerations() &&
         add_functions(state::ns, read_account_functions) &&
         add_functions(state::ns, signin_functions) &&
         add_functions(state::ns, account_operation_functions) &&
         add_functions(state::ns, token_functions) && add_functions(state::ns, logging_functions) &&
         add_class_methods(kClasses, kClasses + nclasses - 1) &&
         add_functions(state::ns, lifecycle_functions) &&
         add_class_methods(kClasses + nclasses - 1, kClasses + nclasses) &&
         bind_new_dict("_callbackStorage") && define_callback_record_class() &&
         bind_new_dict("_logCallbackStorage") && define_callback_data_class() &&
         bind_new_dict("__test__");
}

// ---- create and exec ------------------------------------------------------------------------

// Copies one attribute of the import spec into the module; a spec without it is accepted.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool skip_none) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return false;
  Ref owned = Ref::steal(value);
  if (!value || (skip_none && value == Py_None)) return true;
  return PyDict_SetItemString(module_dict, to, value) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  bool reuse = false;
  if (!owner::claim(&reuse)) return nullptr;
  if (reuse) return Py_NewRef(state::module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false) ||
      !copy_spec_attribute(spec, dict, "origin", "__file__", false) ||
      !copy_spec_attribute(spec, dict, "parent", "__package__", false) ||
      !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true))
    return nullptr;
  return module.release();
}

// Each build compares the running interpreter with the one it was compiled for.
void warn_if_other_python() {
  const int major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                   "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                   PY_MAJOR_VERSION, PY_MINOR_VERSION, "pyvessaruntime.pyvessaruntime",
                   "does not match", major, minor);
}

bool ensure_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_ContainsString(modules, "pyvessaruntime.pyvessaruntime");
  if (present < 0) return false;
  return present || PyDict_SetItemString(modules, "pyvessaruntime.pyvessaruntime", module) == 0;
}

bool execute(PyObject* module) {
  state::module = Py_NewRef(module);
  state::ns = PyModule_GetDict(module);
  state::watch_namespace();
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyDict_SetItemString(state::ns, "__builtins__", builtins.get()) < 0)
    return false;
  state::builtins = PyModule_GetDict(builtins.get());
  if (!state::builtin_id) {
    // The records take their key from the builtin `id` found here, once.
    if (PyDict_GetItemStringRef(state::builtins, "id", &state::builtin_id) < 0) return false;
    if (!state::builtin_id) {
      PyErr_SetString(PyExc_ImportError, "the builtin 'id' is missing");
      return false;
    }
  }
  warn_if_other_python();
  if (PyErr_Occurred()) return false;
  return state::init_names() && ready_function_types() && ensure_in_sys_modules(module) &&
         register_classes(module) && run_module_statements() && owner::adopt() &&
         publish_layer_access();
}

int exec_module(PyObject* module) {
  if (state::module) {
    if (state::module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'pyvessaruntime' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  if (execute(module)) return 0;
  state::ns = nullptr;
  Py_CLEAR(state::module);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init pyvessaruntime.pyvessaruntime");
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The create step itself refuses every interpreter but the owner, with the module's own
    // message; declaring no support here would replace that message with the host's.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    // Its shared state has locks of its own: a free-threaded interpreter stays without the GIL.
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "pyvessaruntime",  // m_name
    nullptr,           // m_doc
    0,                 // m_size: all state is process-wide
    nullptr,           // m_methods: every function is bound by the exec step
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pvr

PyMODINIT_FUNC PyInit_pyvessaruntime(void) {
  return PyModuleDef_Init(&pvr::definition);
}
