// The interpreter that owns the module, and what the module does as it ends.
#include "module/owner.hpp"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "async/python_entry.hpp"
#include "common/mutex.hpp"
#include "common/pointer_set.hpp"
#include "common/ref.hpp"
#include "logging/log_registrations.hpp"
#include "module/state.hpp"

namespace pvr::owner {
namespace {

// The stage and the life are read by calls and runtime threads at any time, and change only as
// an owner comes or ends. The identifier changes only as an interpreter claims the module, which
// imports do one at a time.
//
// The owner's identifier (-1: none yet) and the stage of its life. An identifier alone does not
// tell interpreters apart: a main interpreter initialised again has the identifier of the one
// finalized before it. The mark in the owner's own dictionary does: it goes with the owner.
enum class Stage { kLiving, kEnding, kEnded };
int64_t owner_id = -1;
std::atomic<Stage> stage{Stage::kEnded};
// Counts the owners' lives: a call, or the backstop of a life, tells by it that the owner it
// belonged to was succeeded.
std::atomic<uint64_t> current_life{0};
constexpr char kMark[] = "pyvessaruntime.pyvessaruntime owns";

// The contexts, in shards found by address, each under a lock of its own: every start hands
// one out and every completion takes one back, and threads doing so at once seldom meet. A
// shard read the stage as living under its lock before it records a context; the end marks
// the stage first and then clears every shard under its lock, so no context recorded in a life
// outlives its end.
struct alignas(64) ContextShard {
  PyMutex mutex{};
  PointerSet contexts;
};
constexpr std::size_t kShards = 16;
ContextShard shards[kShards];

ContextShard& shard_of(const void* context) {
  // The low bits of an object's address are alike; a multiplication spreads the others.
  const auto bits = reinterpret_cast<uintptr_t>(context) * UINT64_C(0x9E3779B97F4A7C15);
  return shards[(bits >> 32) % kShards];
}

Stage current_stage() {
  return stage.load();
}

// Whether this ends the owner: only one end runs per life.
bool begin_end() {
  Stage living = Stage::kLiving;
  return stage.compare_exchange_strong(living, Stage::kEnding);
}

// Forgets the owner's contexts: the runtime passes none of them to a routine any more.
void finish_end() {
  for (ContextShard& shard : shards) {
    Locked lock(shard.mutex);
    shard.contexts.clear();
  }
  stage.store(Stage::kEnded);
}

// Whether an end is under way, for an import that must wait for it. The end gives up the
// interpreter lock while it waits for runtime threads and releases registrations, so the wait
// needs a lock of its own. Never destroyed: an end may run as the process exits.
struct Ending {
  std::mutex mutex;
  std::condition_variable over;
  bool under_way = false;
};

Ending& ending() {
  static Ending* instance = new Ending();
  return *instance;
}

void set_ending(bool under_way) {
  Ending& e = ending();
  {
    std::lock_guard lock(e.mutex);
    e.under_way = under_way;
  }
  if (!under_way) e.over.notify_all();
}

// Returns once no end is under way, the interpreter lock given up meanwhile: the end needs it to
// let the runtime threads still inside finish, and then to finish itself.
void wait_for_end() {
  PyThreadState* self = PyEval_SaveThread();
  {
    Ending& e = ending();
    std::unique_lock lock(e.mutex);
    e.over.wait(lock, [&] { return !e.under_way; });
  }
  PyEval_RestoreThread(self);
}

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

// Lets go of everything the runtime's threads could reach in the owner. `whole`: the owner is
// not finalizing yet, and the runtime threads inside are waited for; otherwise none of them can
// take its lock again, and waiting for them could last for ever. What it leaves (the module
// object, its namespace and the objects the module keeps) goes as the owner's interpreter is
// cleared (`clear_life`), so that code of the owner that runs after this (later exit functions,
// destructors) still finds a working module, which refuses anything new.
void end_owner(bool whole) {
  if (!begin_end()) return;
  set_ending(true);
  const bool all_left = close_entry(whole);
  end_log_registrations(true, all_left);
  // The key objects of pending operations stay with the owner, which frees them as it ends: the
  // address of a key never stands for another one.
  finish_end();
  set_ending(false);
}

// Runs among the owner's exit functions. Exit functions are the last point at which the owner is
// still whole and no thread of its own has been ended yet: Py_EndInterpreter refuses to go on
// ("not the last thread") while a thread state of another thread exists, and Py_FinalizeEx
// deletes the other threads' states right after them.
PyObject* let_go(PyObject*, PyObject*) {
  int marked = is_marked();
  if (marked < 0) return nullptr;
  if (marked) end_owner(true);
  Py_RETURN_NONE;
}

PyMethodDef let_go_def = {"_let_go", let_go, METH_NOARGS, nullptr};

PyObject* nothing(PyObject*, PyObject*) {
  Py_RETURN_NONE;
}

// Registered right after `_let_go`: the exit functions that stay registered keep it.
PyMethodDef canary_def = {"_exit_functions_kept", nothing, METH_NOARGS, nullptr};

// 1 if `canary` is still among the exit functions (it is put back), 0 if not (the exit functions
// were cleared), -1 with an exception set. The atexit module tells only how many there are.
int still_registered(PyObject* atexit, PyObject* canary) {
  Ref before = Ref::steal(PyObject_CallMethod(atexit, "_ncallbacks", nullptr));
  Ref removed =
      before ? Ref::steal(PyObject_CallMethod(atexit, "unregister", "O", canary)) : Ref();
  Ref after = removed ? Ref::steal(PyObject_CallMethod(atexit, "_ncallbacks", nullptr)) : Ref();
  const int fewer = after ? PyObject_RichCompareBool(after.get(), before.get(), Py_LT) : -1;
  if (fewer <= 0) return fewer;
  Ref again = Ref::steal(PyObject_CallMethod(atexit, "register", "O", canary));
  return again ? 1 : -1;
}

// Runs as the owner shuts its threads down, before its exit functions (threading calls it):
// when they were cleared, `_let_go` would not run, and the module lets go now, while the owner is
// still whole. `args`: the canary and the life it was registered for.
PyObject* check_exit_functions(PyObject*, PyObject* args) {
  PyObject* canary = nullptr;
  unsigned long long life = 0;
  if (!PyArg_ParseTuple(args, "OK", &canary, &life)) return nullptr;
  if (!living(life)) Py_RETURN_NONE;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  const int kept = atexit ? still_registered(atexit.get(), canary) : -1;
  if (kept < 0) {
    // The atexit module could not tell: the backstop ends the owner if need be.
    PyErr_Clear();
  } else if (!kept) {
    end_owner(true);
  }
  Py_RETURN_NONE;
}

PyMethodDef check_def = {"_check_exit_functions", check_exit_functions, METH_VARARGS, nullptr};

// `_let_go` among the exit functions, and the check that they were not cleared among the
// functions threading runs as it shuts down (where it has that hook).
bool register_exit_function() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  Ref function = atexit ? Ref::steal(PyCFunction_New(&let_go_def, nullptr)) : Ref();
  Ref canary = function ? Ref::steal(PyCFunction_New(&canary_def, nullptr)) : Ref();
  if (!canary || !Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get())) ||
      !Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", canary.get())))
    return false;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) return false;
  PyObject* hook = nullptr;
  if (PyObject_GetOptionalAttrString(threading.get(), "_register_atexit", &hook) < 0) return false;
  if (!hook) return true;  // no such hook: the backstop remains
  Ref owned_hook = Ref::steal(hook);
  Ref check = Ref::steal(PyCFunction_New(&check_def, nullptr));
  Ref this_life = Ref::steal(PyLong_FromUnsignedLongLong(life()));
  return check && this_life &&
         Ref::steal(PyObject_CallFunctionObjArgs(hook, check.get(), canary.get(), this_life.get(),
                                                 nullptr));
}

// The backstop of the exit function, which may never run: an application may clear the exit
// functions, and one registered while they run (the module imported by a lazy clean-up) is not
// called. The interpreter calls this as it is cleared, its modules finalized but its objects
// not freed yet; whatever thread of the owner runs the end then, none other can enter it any
// more. `data` is the life this was registered for.
void clear_life(void* data) {
  if (reinterpret_cast<uintptr_t>(data) != life()) return;  // succeeded already
  end_owner(false);
  // Nothing of the owner can reach the module's objects any more: they go with it.
  PyObject* failure = PyErr_GetRaisedException();
  state::forget_owner_objects(true);
  PyErr_SetRaisedException(failure);
}

// 1 when the interpreter has begun to exit: its threads were shut down, and its exit functions
// run (one registered now would never be called), 0 if not, -1 with an exception set. Only
// `threading` tells, by the flag its shut-down sets; without the flag (or the module never
// imported, when the interpreter shut no thread down) the interpreter counts as not exiting,
// and the backstop ends the owner.
int is_exiting() {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* threading = nullptr;
  const int imported = PyDict_GetItemStringRef(modules, "threading", &threading);
  if (imported <= 0) return imported;
  Ref module = Ref::steal(threading);
  PyObject* flag = nullptr;
  if (PyObject_GetOptionalAttrString(module.get(), "_SHUTTING_DOWN", &flag) < 0) return -1;
  Ref shutting_down = Ref::steal(flag);
  return flag ? PyObject_IsTrue(flag) : 0;
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
  const int exiting = is_exiting();
  if (exiting < 0) return false;
  if (exiting) {
    PyErr_SetString(PyExc_ImportError,
                    "pyvessaruntime.pyvessaruntime cannot be imported while the interpreter "
                    "exits: it could not let go of the interpreter before its end. Import it "
                    "before the interpreter begins to exit.");
    return false;
  }
  // An owner that is ending is waited for, then succeeded.
  while (owner_id != -1 && current_stage() == Stage::kEnding) wait_for_end();
  if (owner_id != -1 && current_stage() == Stage::kLiving && owner_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return false;
  }
  if (owner_id != -1) {
    // A main interpreter initialised again whose predecessor's end never ran: the module lets
    // go now, touching nothing of the ended interpreter.
    if (begin_end()) {
      const bool all_left = close_entry(false);
      end_log_registrations(false, all_left);
      finish_end();
    }
    state::forget_owner_objects(false);
  }
  if (!mark()) return false;
  owner_id = current;
  current_life.fetch_add(1);
  stage.store(Stage::kLiving);
  return true;
}

bool adopt() {
  // A module made by the owner after its end (by its last exit functions) lets no thread in.
  if (current_stage() != Stage::kLiving) return true;
  PyInterpreterState* interp = PyInterpreterState_Get();
  static_assert(sizeof(uintptr_t) <= sizeof(void*));
  return register_exit_function() &&
         PyUnstable_AtExit(interp, clear_life, reinterpret_cast<void*>(life())) == 0 &&
         open_entry(interp);
}

uint64_t life() {
  return current_life.load();
}

bool living(uint64_t life) {
  return life == current_life.load() && stage.load() == Stage::kLiving;
}

PyObject* raise_ended() {
  PyErr_SetString(PyExc_RuntimeError,
                  "the interpreter that owns pyvessaruntime.pyvessaruntime has ended: it starts "
                  "no operation and registers no log routine any more");
  return nullptr;
}

bool hand_out(void* context) {
  bool ended = false;
  bool recorded = false;
  {
    ContextShard& shard = shard_of(context);
    Locked lock(shard.mutex);
    ended = stage.load() != Stage::kLiving;
    recorded = !ended && shard.contexts.insert(context);
  }
  if (ended) {
    raise_ended();
  } else if (!recorded) {
    PyErr_NoMemory();
  }
  return recorded;
}

bool take_back(void* context) {
  ContextShard& shard = shard_of(context);
  Locked lock(shard.mutex);
  return shard.contexts.erase(context);
}

bool handed_out(void* context) {
  ContextShard& shard = shard_of(context);
  Locked lock(shard.mutex);
  return shard.contexts.contains(context);
}

}  // namespace pvr::owner
