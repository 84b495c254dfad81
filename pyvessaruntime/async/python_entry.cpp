// How a runtime thread enters Python, and how exceptions on such threads are reported.
#include "async/python_entry.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "common/gil.hpp"

namespace pvr {
namespace {

bool interpreter_alive() {
  return Py_IsInitialized() && !Py_IsFinalizing();
}

// The way in. Every runtime thread passes it (EntryTicket), so the owner's end (close_entry)
// knows when no thread is inside or about to be.
//
// Passing is two atomic operations and no lock: a completion or log line pays for it each time.
// A thread counts itself in (`inside`) and then reads whether the entry is open (`state`); the
// owner's end marks the entry closed and then reads the count. All four are sequentially
// consistent, so in their single order either the thread's read comes after the close (it sees
// the entry closed and counts itself out) or the end's read comes after the thread's count (it
// waits for the thread). A thread that counts itself out and then finds the entry closed wakes
// the end under the mutex (Waiting), and the end reads the count under the mutex before it
// waits, so no wake-up falls between its read and its wait.
//
// Constant-initialised and trivially destructible: passing it checks no guard of a static's
// initialisation, and runtime threads that pass it while the process exits find it whole.
struct Gate {
  // Bit 0: open. Above it the generation, which moves on each time the entry closes: a thread
  // state kept from an earlier owner's life belongs to an interpreter that has ended (or
  // deletes it as it finalizes).
  std::atomic<uint64_t> state{0};
  std::atomic<int64_t> inside{0};  // tickets held, and tickets being taken
  // Written by open_entry while the entry is closed, before it opens it: a thread that sees it
  // open reads the owner of that opening, which cannot change while its ticket is counted (the
  // next close waits for it before any next opening).
  PyInterpreterState* owner = nullptr;
  bool owner_is_main = false;
};
constinit Gate gate;

constexpr uint64_t kOpen = 1;
constexpr uint64_t kGenerationStep = 2;

// Orders open_entry and close_entry (both are called with the interpreter lock held, which
// orders them already; the mutex assumes nothing of it), and the end's wait. Never destroyed:
// runtime threads may reach it while the process exits.
struct Waiting {
  std::mutex mutex;
  std::condition_variable left;
};

Waiting& waiting() {
  static Waiting* instance = new Waiting();
  return *instance;
}

// Tickets held by this thread (more than one when a routine's callback makes a runtime call
// that calls back on the same thread): an owner ending on this thread does not wait for them.
thread_local int64_t t_tickets PVR_FAST_TLS = 0;

// Routines running on this thread that the runtime delivered outside the module's own calls:
// while one runs, the runtime has this thread, and a wait for the runtime there could never end.
thread_local int t_foreign_routines PVR_FAST_TLS = 0;

// The thread state a runtime thread keeps between calls in the main interpreter, and the
// generation of the entry it was made in. Given back when the thread ends, unless the
// interpreter is already going: finalization deletes every thread state itself, and taking the
// lock then would end this thread in the middle of its exit. On Windows it is never given back
// by the ending thread: thread-local destructors run there under the loader lock, which the
// thread holding the interpreter lock may need (to load a module, to end the process), so
// waiting for the interpreter lock would deadlock; the state stays with the interpreter, which
// deletes it as it finalizes.
//
// The state itself is a plain thread-local, read on every entry. The giving back is the
// destructor of a second one, which a thread touches once, as it keeps a state: a thread-local
// with a destructor is checked for its construction at every use, through the dynamic linker.
struct KeptThreadState {
  PyThreadState* state = nullptr;
  uint64_t generation = 0;
};
thread_local KeptThreadState kept PVR_FAST_TLS;

struct KeptThreadStateRelease {
  bool armed = false;
  ~KeptThreadStateRelease() noexcept(false);
};
thread_local KeptThreadStateRelease kept_release;

}  // namespace

bool EntryTicket::take(PyInterpreterState** owner, bool* owner_is_main, uint64_t* generation) {
  gate.inside.fetch_add(1);
  ++t_tickets;
  held_ = true;
  const uint64_t state = gate.state.load();
  if (!(state & kOpen)) return false;  // the destructor counts this thread out again
  *owner = gate.owner;
  *owner_is_main = gate.owner_is_main;
  *generation = state / kGenerationStep;
  return true;
}

EntryTicket::~EntryTicket() {
  if (!held_) return;
  --t_tickets;
  gate.inside.fetch_sub(1);
  if (gate.state.load() & kOpen) return;
  // The entry is closing, or closed: its end may be waiting for this thread.
  Waiting& w = waiting();
  std::lock_guard lock(w.mutex);
  w.left.notify_all();
}

namespace {

KeptThreadStateRelease::~KeptThreadStateRelease() noexcept(false) {
#if !defined(_WIN32)
  PyThreadState* state = kept.state;
  if (!armed || !state || abandoned_by_python() || !interpreter_alive()) return;
  EntryTicket ticket;
  PyInterpreterState* owner = nullptr;
  bool owner_is_main = false;
  uint64_t generation = 0;
  if (!ticket.take(&owner, &owner_is_main, &generation) || generation != kept.generation) return;
  restore_thread(state);
  PyThreadState_Clear(state);
  PyThreadState_DeleteCurrent();
#endif
}

#if !defined(_WIN32)
// A forked child has only the thread that forked: the gate's mutex is held over the fork so that
// no other thread holds it then, and in the child the tickets of the threads that did not follow
// are forgotten (an owner ending there would wait for them for ever).
void gate_before_fork() {
  waiting().mutex.lock();
}
void gate_after_fork_in_parent() {
  waiting().mutex.unlock();
}
void gate_after_fork_in_child() {
  Waiting& w = waiting();
  gate.inside.store(t_tickets);
  new (&w.left) std::condition_variable();  // its waiters were threads of the parent
  w.mutex.unlock();
}
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(gate_before_fork, gate_after_fork_in_parent, gate_after_fork_in_child);
#endif

}  // namespace

void open_entry(PyInterpreterState* owner) {
  std::lock_guard lock(waiting().mutex);
  const uint64_t state = gate.state.load();
  if (state & kOpen) return;
  gate.owner = owner;
  gate.owner_is_main = owner == PyInterpreterState_Main();
  gate.state.store(state | kOpen);  // publishes the owner with the opening
}

void close_entry() {
  Waiting& w = waiting();
  std::unique_lock lock(w.mutex);
  const uint64_t state = gate.state.load();
  if (!(state & kOpen)) return;
  gate.state.store((state & ~kOpen) + kGenerationStep);
  if (gate.inside.load() == t_tickets) return;
  // Those inside need the lock to finish.
  lock.unlock();
  PyThreadState* self = PyEval_SaveThread();
  lock.lock();
  w.left.wait(lock, [&] { return gate.inside.load() == t_tickets; });
  lock.unlock();
  PyEval_RestoreThread(self);
}

bool inside_runtime_routine() {
  return t_foreign_routines > 0;
}

PythonEntry::PythonEntry() : foreign_(!inside_own_runtime_call()) {
  if (foreign_) ++t_foreign_routines;
  // A completion or log line that arrives while the interpreter shuts down is dropped: the
  // interpreter can no longer run a callback, and a thread that asked it for the lock now would
  // be ended by it.
  if (!interpreter_alive()) return;
  PyInterpreterState* owner = nullptr;
  bool owner_is_main = false;
  uint64_t generation = 0;
  if (!ticket_.take(&owner, &owner_is_main, &generation)) return;
  if (PyThreadState* current = PyThreadState_GetUnchecked()) {
    if (PyThreadState_GetInterpreter(current) == owner) {
      // The runtime called back inside a call made with the lock held: nothing to take.
      mode_ = Mode::kNested;
      return;
    }
    // Inside a call made from another interpreter: the owner's state replaces its state for
    // the time of the routine (the two share one lock).
    if (!(made_ = PyThreadState_New(owner))) return;
    replaced_ = PyThreadState_Swap(made_);
    mode_ = Mode::kSwapped;
    return;
  }
  if (!owner_is_main) {
    if (!(made_ = PyThreadState_New(owner))) return;
    mode_ = Mode::kOwnThreadState;
    restore_thread(made_);
    return;
  }
  if (kept.state && kept.generation != generation) kept.state = nullptr;  // freed with its owner
  if (kept.state) {
    mode_ = Mode::kKeptThreadState;
    restore_thread(kept.state);
  } else if (PyGILState_GetThisThreadState()) {
    // A thread Python knows (for instance a caller of the runtime completing inline).
    mode_ = Mode::kGilState;
    gil_state_ = ensure_gil();
  } else {
    // First visit of a runtime thread: its new thread state is kept for the next calls.
    mode_ = Mode::kKeptThreadState;
    ensure_gil();
    kept.state = PyThreadState_Get();
    kept.generation = generation;
    kept_release.armed = true;
  }
}

PythonEntry::~PythonEntry() noexcept(false) {
  if (foreign_) --t_foreign_routines;
  // A thread the interpreter is ending holds no lock to give back. Such an end reaches this
  // destructor only through the routine's body, which marks the thread abandoned on its way out
  // (mark_abandonment_of), so the mark answers without asking the interpreter.
  if (abandoned_by_python()) return;
  switch (mode_) {
    case Mode::kKeptThreadState:
      PyEval_SaveThread();
      break;
    case Mode::kGilState:
      PyGILState_Release(gil_state_);
      break;
    case Mode::kOwnThreadState:
      PyThreadState_Clear(made_);
      PyThreadState_DeleteCurrent();
      break;
    case Mode::kSwapped:
      PyThreadState_Clear(made_);
      PyThreadState_Swap(replaced_);
      PyThreadState_Delete(made_);
      break;
    case Mode::kNested:
    case Mode::kNotEntered:
      break;
  }
  // The ticket goes last, once this thread is out.
}

void report_unraisable(const char* routine) {
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) return;
  if (PyErr_GivenExceptionMatches(exception, PyExc_SystemExit)) {
    // PyErr_Print would exit the process for a SystemExit; show it instead.
    PyErr_DisplayException(exception);
  } else {
    PyErr_SetRaisedException(Py_NewRef(exception));
    PyErr_PrintEx(0);
  }
  PyObject* context = PyUnicode_FromString(routine);
  if (!context) PyErr_Clear();
  PyErr_SetRaisedException(exception);
  PyErr_WriteUnraisable(context ? context : Py_None);
  Py_XDECREF(context);
}

}  // namespace pvr
