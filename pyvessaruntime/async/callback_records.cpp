// The pure-Python classes of the completion bridge: _VESSARuntimeCallBackData, the record that
// ties a pending operation (or a log registration) to its Python callback, and CallbackData, a
// helper for callers who want to wait for one completion.
//
// Both are ordinary classes (instances keep a __dict__) whose methods are native functions.
#include "async/callback_records.hpp"

#include <atomic>

#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

using state::names;

// The record class the module made (a strong reference, so its address is never reused) and its
// version tag once complete: the interpreter gives the class a new tag whenever the class or one
// of its bases changes, so an equal tag means the class still behaves as made.
PyObject* own_record_class = nullptr;
unsigned int own_record_version = 0;

// _VESSARuntimeCallBackData.__init__(self, callback): the record registers itself in
// _callbackStorage under its own id, before the runtime can know of it.
PyObject* record_init(PyObject* self, PyObject* const* args) {
  if (PyObject_SetAttr(self, names.callback, args[0]) < 0) return nullptr;
  Ref id = Ref::steal(PyObject_CallOneArg(state::builtin_id, self));
  if (!id || PyObject_SetAttr(self, names.id, id.get()) < 0) return nullptr;
  Ref storage = state::lookup(names.callbackStorage);
  if (!storage) return nullptr;
  Ref key = Ref::steal(PyObject_GetAttr(self, names.id));
  if (!key || PyObject_SetItem(storage.get(), key.get(), self) < 0) return nullptr;
  Py_RETURN_NONE;
}

// CallbackData.__init__(self, is_interactive=False)
PyObject* callback_data_init(PyObject* self, PyObject* const* args) {
  int interactive = PyObject_IsTrue(args[0]);
  if (interactive < 0) return nullptr;
  Ref factory = state::lookup(interactive ? names.get_VESSARuntime_event : names.Event);
  if (!factory) return nullptr;
  Ref signal = Ref::steal(PyObject_CallNoArgs(factory.get()));
  if (!signal || PyObject_SetAttr(self, names.signal, signal.get()) < 0 ||
      PyObject_SetAttr(self, names.result, Py_None) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// CallbackData.complete(self, result): the result is stored before the signal is set, so a
// waiter that wakes up on the signal finds it.
PyObject* callback_data_complete(PyObject* self, PyObject* const* args) {
  if (PyObject_SetAttr(self, names.result, args[0]) < 0) return nullptr;
  Ref signal = Ref::steal(PyObject_GetAttr(self, names.signal));
  Ref set = signal ? Ref::steal(PyObject_CallMethodNoArgs(signal.get(), names.set)) : Ref();
  if (!set) return nullptr;
  Py_RETURN_NONE;
}

const FunctionDef kRecordInit[] = {
    {"__init__", record_init, "_VESSARuntimeCallBackData.__init__(self, callback)", {"callback"}},
};
const FunctionDef kCallbackDataInit[] = {
    {"__init__",
     callback_data_init,
     "CallbackData.__init__(self, is_interactive=False)",
     {"is_interactive"}},
};
const FunctionDef kCallbackDataComplete[] = {
    {"complete", callback_data_complete, "CallbackData.complete(self, result)", {"result"}},
};

// A new class built as `type(name, (), {...})` would build it, with no methods yet.
Ref new_plain_class(const char* name) {
  Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
  Ref bases = Ref::steal(PyTuple_New(0));
  Ref dict = Ref::steal(PyDict_New());
  if (!class_name || !bases || !dict ||
      PyDict_SetItem(dict.get(), names.dunder_module, names.module_name) < 0 ||
      PyDict_SetItem(dict.get(), names.dunder_qualname, class_name.get()) < 0)
    return Ref();
  return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 class_name.get(), bases.get(), dict.get(),
                                                 nullptr));
}

PyTypeObject* as_type(const Ref& cls) {
  return reinterpret_cast<PyTypeObject*>(cls.get());
}

bool bind(const char* name, const Ref& cls) {
  return PyDict_SetItemString(state::ns, name, cls.get()) == 0;
}

}  // namespace

bool define_callback_record_class() {
  Ref cls = new_plain_class("_VESSARuntimeCallBackData");
  if (!cls || !add_methods(as_type(cls), kRecordInit) || !bind("_VESSARuntimeCallBackData", cls))
    return false;
  Py_XSETREF(own_record_class, Py_NewRef(cls.get()));
  own_record_version =
      PyUnstable_Type_AssignVersionTag(as_type(cls)) ? as_type(cls)->tp_version_tag : 0;
  return true;
}

Ref new_callback_record(PyObject* py_callback) {
  PyObject* bound = state::peek(names.VESSARuntimeCallBackData);
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(own_record_class);
  // Another thread may change the class meanwhile (giving it a new tag): the tag is read whole.
  if (!bound || bound != own_record_class || own_record_version == 0 ||
      std::atomic_ref(type->tp_version_tag).load(std::memory_order_relaxed) !=
          own_record_version) {
    Ref cls = state::lookup(names.VESSARuntimeCallBackData);
    return cls ? Ref::steal(PyObject_CallOneArg(cls.get(), py_callback)) : Ref();
  }
  // The class as made: calling it allocates through object.__new__ (which only allocates, the
  // class having an __init__ of its own) and runs that __init__ on the new object. Both are
  // done here directly, without an argument tuple and the lookup of __init__; the recursion
  // guard the call would pass through stays.
  if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
  Ref record = Ref::steal(type->tp_alloc(type, 0));
  if (record) {
    PyObject* args[] = {py_callback};
    if (!Ref::steal(record_init(record.get(), args))) record.reset();
  }
  Py_LeaveRecursiveCall();
  return record;
}

void forget_record_class(bool release) {
  if (release) Py_XDECREF(own_record_class);
  own_record_class = nullptr;
  own_record_version = 0;
}

bool define_callback_data_class() {
  Ref cls = new_plain_class("CallbackData");
  Ref init_defaults = Ref::steal(PyTuple_Pack(1, Py_False));
  return cls && init_defaults &&
         add_methods(as_type(cls), kCallbackDataInit, init_defaults.get()) &&
         add_methods(as_type(cls), kCallbackDataComplete) && bind("CallbackData", cls);
}

}  // namespace pvr
