// Function objects of the module: argument binding by name and instance binding for methods.
#include "common/function.hpp"

#include "common/ref.hpp"
#include "common/type.hpp"
#include "module/state.hpp"

#include <cstring>

namespace pvr {
namespace {

struct Function {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyTypeObject* owner;  // strong; null for module-level functions
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;        // made from def->doc on first request; null until then
  PyObject* defaults;   // tuple or null
  PyObject* signature;  // built on first request; null until then
  int nparams;
};

Function* as_function(PyObject* o) {
  return reinterpret_cast<Function*>(o);
}

bool too_many_positional(Function* f, Py_ssize_t given) {
  if (f->nparams == 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes no arguments (%zd given)", f->qualname, given);
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes at most %d positional argument%s (%zd given)",
                 f->qualname, f->nparams, f->nparams == 1 ? "" : "s", given);
  }
  return false;
}

int param_index(Function* f, PyObject* keyword) {
  for (int i = 0; i < f->nparams; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, f->def->params[i]) == 0) return i;
  }
  return -1;
}

// Places positional and keyword arguments into `bound` by parameter, fills defaults and
// reports the host's usual errors for a wrong count or an unknown or repeated keyword.
bool bind_arguments(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
  if (nargs > f->nparams) return too_many_positional(f, nargs);
  for (int i = 0; i < f->nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    int i = param_index(f, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname,
                   keyword);
      return false;
    }
    if (bound[i]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname,
                   keyword);
      return false;
    }
    bound[i] = args[nargs + k];
  }
  Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  for (int i = 0; i < f->nparams; ++i) {
    if (bound[i]) continue;
    Py_ssize_t d = i - (f->nparams - ndefaults);
    if (d >= 0) {
      bound[i] = PyTuple_GET_ITEM(f->defaults, d);
      continue;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing required argument '%s' (pos %d)", f->qualname,
                 f->def->params[i], i + 1);
    return false;
  }
  return true;
}

PyObject* call_function(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  Function* f = as_function(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self = nullptr;
  if (f->owner) {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
      return nullptr;
    }
    self = args[0];
    // Methods of the module's own classes read their instance's fields; those of its plain
    // Python classes take any object, as ordinary methods do.
    if (!(f->owner->tp_flags & Py_TPFLAGS_HEAPTYPE) && !PyObject_TypeCheck(self, f->owner)) {
      PyErr_Format(PyExc_TypeError,
                   "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", f->name,
                   f->owner->tp_name, Py_TYPE(self)->tp_name);
      return nullptr;
    }
    ++args;
    --nargs;
  }
  // Every parameter given by position, in order: the arguments are the bound values already.
  if (!kwnames && nargs == f->nparams) return f->def->body(self, args);
  PyObject* bound[kMaxParameters];
  if (!bind_arguments(f, args, nargs, kwnames, bound)) return nullptr;
  return f->def->body(self, bound);
}

PyObject* bind_to_instance(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* stay_unbound(PyObject* self, PyObject*, PyObject*) {
  return Py_NewRef(self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(f->owner);
  Py_VISIT(f->defaults);
  Py_VISIT(f->signature);
  return 0;
}

int clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->owner);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->signature);
  return 0;
}

void dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module);
  Py_XDECREF(f->doc);
  PyObject_GC_Del(self);
}

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("<native function %U>", as_function(self)->qualname);
}

PyMemberDef members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The docstring is made when asked for: a hundred functions are made at every import, and
// nothing but introspection reads their docstrings.
PyObject* get_doc(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->doc) f->doc = f->def->doc ? PyUnicode_FromString(f->def->doc) : Py_NewRef(Py_None);
  return Py_XNewRef(f->doc);
}

// Read-only like the other names, with the same refusal.
int refuse_doc(PyObject*, PyObject*, void*) {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}

// An `inspect.Signature` of the declared parameters (with `self` first for methods), so that
// introspection sees the real parameters; the docstrings stay the signature lines they must be.
// Built on first use: importing `inspect` at module import would cost more than the module.
PyObject* build_signature(Function* f) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter || !signature) return nullptr;
  Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  Ref params = Ref::steal(PyList_New(0));
  if (!kind || !params) return nullptr;
  auto append = [&](PyObject* name, PyObject* default_value) {
    Ref kwargs =
        Ref::steal(default_value ? Py_BuildValue("{sO}", "default", default_value) : PyDict_New());
    Ref args = Ref::steal(PyTuple_Pack(2, name, kind.get()));
    if (!kwargs || !args) return false;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    return p && PyList_Append(params.get(), p.get()) == 0;
  };
  if (f->owner) {
    Ref self_name = Ref::steal(PyUnicode_InternFromString("self"));
    if (!self_name || !append(self_name.get(), nullptr)) return nullptr;
  }
  Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  for (int i = 0; i < f->nparams; ++i) {
    Ref name = Ref::steal(PyUnicode_InternFromString(f->def->params[i]));
    Py_ssize_t d = i - (f->nparams - ndefaults);
    if (!name || !append(name.get(), d >= 0 ? PyTuple_GET_ITEM(f->defaults, d) : nullptr))
      return nullptr;
  }
  return PyObject_CallOneArg(signature.get(), params.get());
}

PyObject* get_signature(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->signature) {
    // Building can give the lock up (the import), so another thread may have cached one first.
    Ref built = Ref::steal(build_signature(f));
    if (!built) return nullptr;
    if (!f->signature) f->signature = built.release();
  }
  return Py_NewRef(f->signature);
}

PyGetSetDef getset[] = {
    {"__doc__", get_doc, refuse_doc, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type(const char* name, bool method) {
  PyTypeObject t = blank_type(name, sizeof(Function));
  t.tp_dealloc = dealloc;
  t.tp_vectorcall_offset = offsetof(Function, vectorcall);
  t.tp_repr = repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               (method ? Py_TPFLAGS_METHOD_DESCRIPTOR : 0);
  t.tp_traverse = traverse;
  t.tp_clear = clear;
  t.tp_members = members;
  t.tp_getset = getset;
  // Methods bind to the instance they are looked up on; module functions stay unbound even
  // when stored in a class, like the interpreter's own built-in functions. Giving them a
  // `__get__` that returns them unchanged lets introspection tools see them as the routines
  // they are.
  t.tp_descr_get = method ? bind_to_instance : stay_unbound;
  return t;
}

PyTypeObject function_type = make_type("pyvessaruntime.native_function", false);
PyTypeObject method_type = make_type("pyvessaruntime.native_method", true);

// "Class.", with which the qualified names of the class's methods begin: from the class's own
// qualified name rather than its dotted type name.
Ref method_qualname_prefix(PyTypeObject* owner) {
  Ref qualname = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(owner), state::names.dunder_qualname));
  return qualname ? Ref::steal(PyUnicode_FromFormat("%U.", qualname.get())) : Ref();
}

// A module function (`owner` null) or a method of `owner`, whose qualified name begins with
// `qualname_prefix` (borrowed).
PyObject* new_function(const FunctionDef& def, PyTypeObject* owner, PyObject* qualname_prefix,
                       PyObject* defaults) {
  Function* f = PyObject_GC_New(Function, owner ? &method_type : &function_type);
  if (!f) return nullptr;
  f->vectorcall = call_function;
  f->def = &def;
  f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
  f->defaults = Py_XNewRef(defaults);
  f->signature = nullptr;
  f->doc = nullptr;
  f->nparams = 0;
  while (f->nparams < kMaxParameters && def.params[f->nparams]) ++f->nparams;
  f->name = PyUnicode_InternFromString(def.name);
  f->module = Py_NewRef(state::names.module_name);
  f->qualname = !f->name ? nullptr
                : owner  ? PyUnicode_Concat(qualname_prefix, f->name)
                         : Py_NewRef(f->name);
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  if (!f->name || !f->qualname) {
    Py_DECREF(f);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(f);
}

}  // namespace

bool ready_function_types() {
  return PyType_Ready(&function_type) == 0 && PyType_Ready(&method_type) == 0;
}

void forget_function_types(bool release) {
  forget_readied(&function_type, release);
  forget_readied(&method_type, release);
}

bool add_functions(PyObject* target_dict, const FunctionTable& table) {
  for (std::size_t i = 0; i < table.size; ++i) {
    Ref fn = Ref::steal(new_function(table.defs[i], nullptr, nullptr, nullptr));
    if (!fn || PyDict_SetItem(target_dict, as_function(fn.get())->name, fn.get()) < 0) return false;
  }
  return true;
}

bool add_methods(PyTypeObject* owner, const FunctionTable& table, PyObject* defaults) {
  Ref qualname_prefix = method_qualname_prefix(owner);
  if (!qualname_prefix) return false;
  const bool heap_type = owner->tp_flags & Py_TPFLAGS_HEAPTYPE;
  bool added = true;
  for (std::size_t i = 0; added && i < table.size; ++i) {
    Ref fn = Ref::steal(new_function(table.defs[i], owner, qualname_prefix.get(), defaults));
    PyObject* name = fn ? as_function(fn.get())->name : nullptr;
    // Static extension types refuse setattr from Python; their dictionary is ours to fill.
    added = name &&
            (heap_type ? PyObject_SetAttr(reinterpret_cast<PyObject*>(owner), name, fn.get()) == 0
                       : PyDict_SetItem(owner->tp_dict, name, fn.get()) == 0);
  }
  // The attribute cache must learn of what went into a static type's dictionary.
  if (!heap_type) PyType_Modified(owner);
  return added;
}

}  // namespace pvr
