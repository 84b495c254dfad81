// Process-wide state of the module and lookups by name in its namespace.
#include "module/state.hpp"

#include "async/callback_records.hpp"
#include "marshal/runtime_text.hpp"
#include "module/enumerations.hpp"
#include "module/registry.hpp"

namespace pvr::state {

Names names;
PyObject* module = nullptr;
PyObject* ns = nullptr;
PyObject* builtins = nullptr;
PyObject* builtin_id = nullptr;

bool init_names() {
  if (names.module_name) return true;
#define PVR_INTERN_NAME(field, text) \
  if (!(names.field = PyUnicode_InternFromString(text))) return false;
  PVR_NAMES(PVR_INTERN_NAME)
#undef PVR_INTERN_NAME
  return true;
}

namespace {

// One cached binding: `value` is borrowed from the namespace and meaningful while `known`.
struct Binding {
  PyObject* const* name;
  PyObject* value = nullptr;
  bool known = false;
};

// The hottest first: they are found by a scan.
Binding cached[] = {
    {&names.callbackStorage},
    {&names.LogLevel},
    {&names.Response_Status},
    {&names.get_encoded_bytes},
    {&names.VESSARuntimeCallBackData},
    {&names.logCallbackStorage},
    {&names.SsoPolicyType},
};

// The namespace being watched (null: none), and whether its bindings may be cached at all.
PyObject* watched = nullptr;
int watcher_id = -1;

// A cached binding is borrowed, and the GIL is what keeps another thread from freeing it between
// the read and the new reference: without the GIL every lookup reads the dictionary, which
// hands out a reference of its own.
#ifdef Py_GIL_DISABLED
constexpr bool kCachesBindings = false;
#else
constexpr bool kCachesBindings = true;
#endif

void forget_bindings() {
  for (Binding& binding : cached) binding.known = false;
}

Binding* binding_of(PyObject* name) {
  if (!watched || watched != ns) return nullptr;
  for (Binding& binding : cached) {
    if (*binding.name == name) return &binding;
  }
  return nullptr;
}

// Called by the interpreter before each change of a watched dictionary.
int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
  if (dict != watched) return 0;
  forget_bindings();
  // A key of another type than str makes a lookup by name compare with it (and run its __eq__
  // on a hash collision), which a cached answer would skip: such a namespace is read afresh.
  if (event == PyDict_EVENT_DEALLOCATED || (key && !PyUnicode_CheckExact(key))) watched = nullptr;
  return 0;
}

}  // namespace

void watch_namespace() {
  forget_bindings();
  watched = nullptr;
  if (!ns || !kCachesBindings) return;
  if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_namespace_change);
  if (watcher_id < 0 || PyDict_Watch(watcher_id, ns) < 0) {
    PyErr_Clear();  // the lookups work without the cache
    return;
  }
  watched = ns;
  // Keys set before the watch started are checked once, like those the watcher will see.
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(ns, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) watched = nullptr;
  }
}

Ref lookup(PyObject* name) {
  Binding* binding = binding_of(name);
  if (binding && binding->known) return Ref::borrow(binding->value);
  PyObject* found = nullptr;
  int status = ns ? PyDict_GetItemRef(ns, name, &found) : 0;
  if (status > 0 && binding) {
    binding->value = found;
    binding->known = true;
  }
  if (status == 0 && builtins) status = PyDict_GetItemRef(builtins, name, &found);
  if (status == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::steal(found);
}

PyObject* peek(PyObject* name) {
  Binding* binding = binding_of(name);
  if (binding && binding->known) return binding->value;
  PyObject* found = ns ? PyDict_GetItemWithError(ns, name) : nullptr;
  if (!found) {
    // A failing lookup is met again, and raised, where the caller's general path looks up.
    if (PyErr_Occurred()) PyErr_Clear();
    return nullptr;
  }
  if (binding) {
    binding->value = found;
    binding->known = true;
  }
  return found;
}

void forget_owner_objects(bool release) {
  if (release) {
    Py_XDECREF(module);
    Py_XDECREF(builtin_id);
  }
  module = nullptr;
  ns = nullptr;
  builtins = nullptr;
  builtin_id = nullptr;
  // Interned, the names stay with the interpreters' shared table of interned strings.
  names = Names{};
  // The watcher was the ended interpreter's.
  watched = nullptr;
  watcher_id = -1;
  forget_bindings();
  forget_enumerations(release);
  forget_own_encoder(release);
  forget_record_class(release);
  forget_classes(release);
}

}  // namespace pvr::state
