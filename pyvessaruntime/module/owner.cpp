// The interpreter that owns the module, and what the module does as it ends.
#include "module/owner.hpp"

#include <cstdint>

#include "async/python_entry.hpp"
#include "common/pointer_set.hpp"
#include "common/ref.hpp"
#include "logging/log_registrations.hpp"
#include "module/state.hpp"

namespace pvr::owner {
namespace {

// The owner's identifier (-1: none yet), and whether it has ended. An identifier alone does not
// tell interpreters apart: a main interpreter initialised again has the identifier of the one
// finalized before it. The mark in the owner's own dictionary does: it goes with the owner.
int64_t owner_id = -1;
bool ended = false;
constexpr char kMark[] = "pyvessaruntime.pyvessaruntime owns";

// Guarded by the interpreter lock.
PointerSet contexts;

// 1 if the current interpreter is the owner (in its life, ended or not), 0 if not, -1 with an
// exception set.
int is_marked() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!dict) {
    PyErr_SetString(PyExc_ImportError, "the interpreter has no dictionary of its own");
    return -1;
  }
  return PyDict_ContainsString(dict, kMark);
}

bool mark() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  return dict && PyDict_SetItemString(dict, kMark, Py_True) == 0;
}

// Lets go of everything the runtime's threads could reach in the owner. What it leaves is
// forgotten when the next owner comes (state::forget_ended_owner): the module object, its
// namespace and the objects the module keeps, so that code of the owner that runs after this
// (later exit functions, destructors) still finds a working module whose routines are dropped.
void end_owner(bool owner_alive) {
  ended = true;
  close_entry();
  end_log_registrations(owner_alive);
  // The key objects of pending operations stay with the owner, which frees them as it ends, or
  // keeps them until the process ends: the address of a key never stands for another one.
  contexts.clear();
}

// Runs among the owner's exit functions. Exit functions are the last point at which the owner is
// still whole and no thread of its own has been ended yet: Py_EndInterpreter refuses to go on
// ("not the last thread") while a thread state of another thread exists, and Py_FinalizeEx
// deletes the other threads' states right after them. The hooks that come later all come too
// late: a module state's free function and a finalizer on the module run while modules are
// finalized, and the low-level exit callbacks (PyUnstable_AtExit) once the interpreter is
// cleared; a capsule or weak reference dies only with the module.
PyObject* let_go(PyObject*, PyObject*) {
  int marked = is_marked();
  if (marked < 0) return nullptr;
  if (marked && !ended) end_owner(true);
  Py_RETURN_NONE;
}

PyMethodDef let_go_def = {"_let_go", let_go, METH_NOARGS, nullptr};

bool register_exit_function() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref function = atexit ? Ref::steal(PyCFunction_New(&let_go_def, nullptr)) : Ref();
  Ref registered =
      function ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()))
               : Ref();
  return static_cast<bool>(registered);
}

}  // namespace

bool claim(bool* reuse) {
  *reuse = false;
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  const int marked = is_marked();
  if (marked < 0) return false;
  if (marked) {
    // The owner again (after its module left sys.modules, or after a failed import).
    *reuse = state::module != nullptr;
    return true;
  }
  if (owner_id != -1 && !ended && owner_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  if (owner_id != -1) {
    // The owner has ended; if its exit functions did not run (an application cleared them),
    // the module lets go now, touching nothing of the ended interpreter.
    if (!ended) end_owner(false);
    state::forget_ended_owner();
  }
  if (!mark()) return false;
  owner_id = current;
  ended = false;
  return true;
}

bool adopt() {
  // A module made by the owner after its end (by its last exit functions) lets no thread in.
  if (ended) return true;
  if (!register_exit_function()) return false;
  open_entry(PyInterpreterState_Get());
  return true;
}

bool hand_out(void* context) {
  if (ended || contexts.insert(context)) return true;
  PyErr_NoMemory();
  return false;
}

bool take_back(void* context) {
  return contexts.erase(context);
}

bool handed_out(void* context) {
  return contexts.contains(context);
}

}  // namespace pvr::owner
