// How a runtime thread enters Python, and how exceptions on such threads are reported.
#include "async/python_entry.hpp"

#include <atomic>
#include <chrono>
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

// Asked by threads with no thread state, so only what the interpreter publishes atomically is
// read: whether it finalizes. Whether it is initialised at all is the entry's to know: it is
// closed from the owner's end (at the latest as its interpreter is cleared) until a new owner
// opens it.
bool interpreter_alive() {
  return !Py_IsFinalizing();
}

// The way in. Every runtime thread passes it (EntryTicket), so the owner's end (close_entry)
// knows when no thread is inside or about to be.
//
// Each opening of the entry (one owner's life) has a passage record of its own. Passing is a
// load and two atomic operations and no lock: a completion or log line pays for it each time.
// A thread reads the current passage, counts itself in there (`inside`) and then reads whether
// that passage is still open; the owner's end marks it closed and then reads its count. All of
// these are sequentially consistent, so in their single order either the thread's read comes
// after the close (it sees the passage closed and counts itself out) or the end's read comes
// after the thread's count (it waits for the thread). A thread that counts itself out of a
// closed passage wakes the end under the mutex (Waiting), and the end reads the count under the
// mutex before it waits, so no wake-up falls between its read and its wait, whatever the next
// owner does with the entry meanwhile.
//
// Passages are never freed: a thread may hold one for ever (one that CPython hangs as it asks a
// finalizing interpreter for its lock), and a count of a passage that has closed concerns no
// later owner. One small record per owner's life is what that costs.
struct Passage {
  std::atomic<int64_t> inside{0};  // tickets held, and tickets being taken
  std::atomic<bool> open{true};
  PyInterpreterState* const owner;
  const bool owner_is_main;
  Passage(PyInterpreterState* interp, bool is_main) : owner(interp), owner_is_main(is_main) {}
};

// The open passage, or null while the entry is closed. Constant-initialised and trivially
// destructible: passing it checks no guard of a static's initialisation, and runtime threads
// that pass it while the process exits find it whole.
constinit std::atomic<Passage*> current_passage{nullptr};

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
// passage (owner's life) it was made in. Given back when the thread ends, unless the
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
  const void* life = nullptr;
};
thread_local KeptThreadState kept PVR_FAST_TLS;

struct KeptThreadStateRelease {
  bool armed = false;
  ~KeptThreadStateRelease() noexcept(false);
};
thread_local KeptThreadStateRelease kept_release;

// Without the GIL an object belongs to the thread that made it, and the last reference another
// thread drops is handed back to that thread to drop (biased reference counting): a state kept
// by a runtime thread between calls would keep each result it made alive until its next call,
// and the result's handle with it. A state deleted after each call lets them go at once.
#ifdef Py_GIL_DISABLED
constexpr bool kKeepsThreadStates = false;
#else
constexpr bool kKeepsThreadStates = true;
#endif

}  // namespace

bool EntryTicket::take(PyInterpreterState** owner, bool* owner_is_main, const void** life) {
  Passage* passage = current_passage.load();
  if (!passage) return false;
  passage->inside.fetch_add(1);
  ++t_tickets;
  passage_ = passage;
  if (!passage->open.load()) return false;  // the destructor counts this thread out again
  *owner = passage->owner;
  *owner_is_main = passage->owner_is_main;
  *life = passage;
  return true;
}

EntryTicket::~EntryTicket() {
  Passage* passage = static_cast<Passage*>(passage_);
  if (!passage) return;
  --t_tickets;
  passage->inside.fetch_sub(1);
  if (passage->open.load()) return;
  // The passage has closed: its end may be waiting for this thread.
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
  const void* life = nullptr;
  if (!ticket.take(&owner, &owner_is_main, &life) || life != kept.life) return;
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
  if (Passage* passage = current_passage.load()) passage->inside.store(t_tickets);
  new (&w.left) std::condition_variable();  // its waiters were threads of the parent
  w.mutex.unlock();
}
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(gate_before_fork, gate_after_fork_in_parent, gate_after_fork_in_child);
#endif

}  // namespace

bool open_entry(PyInterpreterState* owner) {
  std::lock_guard lock(waiting().mutex);
  if (current_passage.load()) return true;
  Passage* passage = new (std::nothrow) Passage(owner, owner == PyInterpreterState_Main());
  if (!passage) {
    PyErr_NoMemory();
    return false;
  }
  current_passage.store(passage);  // publishes the owner with the opening
  return true;
}

bool close_entry(bool wait) {
  Waiting& w = waiting();
  std::unique_lock lock(w.mutex);
  Passage* passage = current_passage.exchange(nullptr);
  if (!passage) return true;
  passage->open.store(false);
  const auto all_left = [&] { return passage->inside.load() == t_tickets; };
  if (all_left()) return true;
  // Those inside need the lock to finish. In a finalizing interpreter, one that asks for it is
  // ended or parked at once, and one that was only passing by leaves within the moment.
  constexpr std::chrono::milliseconds kMoment{100};
  lock.unlock();
  PyThreadState* self = PyEval_SaveThread();
  lock.lock();
  bool left = true;
  if (wait) {
    w.left.wait(lock, all_left);
  } else {
    left = w.left.wait_for(lock, kMoment, all_left);
  }
  lock.unlock();
  PyEval_RestoreThread(self);
  return left;
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
  const void* life = nullptr;
  if (!ticket_.take(&owner, &owner_is_main, &life)) return;
  if (PyThreadState* current = PyThreadState_GetUnchecked()) {
    // The runtime called back inside a call made with the lock held: nothing to take in the
    // owner, and from another interpreter only a state of the owner's to swap in (every owner
    // shares the main interpreter's lock).
    if (PyThreadState_GetInterpreter(current) == owner) {
      entered_ = true;
    } else {
      swap_in(owner);
    }
    return;
  }
  // The lock is taken through the main interpreter's state of this thread, and a
  // subinterpreter's state is made (and deleted) only under the lock: the interpreter's own end
  // checks that it is the last thread and deletes thread states with the lock held, and a state
  // made without it could appear in the middle of that.
  take_lock(life);
  if (owner_is_main) {
    entered_ = true;
  } else {
    swap_in(owner);
  }
}

void PythonEntry::take_lock(const void* life) {
  if (kept.state && kept.life != life) kept.state = nullptr;  // freed with its owner
  if (kept.state) {
    lock_ = Lock::kKeptThreadState;
    restore_thread(kept.state);
  } else if (!kKeepsThreadStates || PyGILState_GetThisThreadState()) {
    // A thread Python knows (for instance a caller of the runtime completing inline), or any
    // thread where states are not kept.
    lock_ = Lock::kGilState;
    gil_state_ = ensure_gil();
  } else {
    // First visit of a runtime thread: its new thread state is kept for the next calls.
    lock_ = Lock::kKeptThreadState;
    ensure_gil();
    kept.state = PyThreadState_Get();
    kept.life = life;
    kept_release.armed = true;
  }
}

void PythonEntry::swap_in(PyInterpreterState* owner) {
  // Not bound to the thread's PyGILState record, which the main interpreter's state holds:
  // deleting it leaves that record alone. Before 3.13.1 CPython hands an interpreter's embedded
  // initial state to whoever makes one while the interpreter has none, and makes it reusable a
  // moment after taking it off the list: made without the lock, the state could be that one,
  // still in use ("thread state already initialized").
  if (!(made_ = PyThreadState_New(owner))) return;
  replaced_ = swap_thread_state(made_);
  entered_ = true;
}

PythonEntry::~PythonEntry() noexcept(false) {
  if (foreign_) --t_foreign_routines;
  // A thread the interpreter is ending holds no lock to give back. Such an end reaches this
  // destructor only through the routine's body, which marks the thread abandoned on its way out
  // (mark_abandonment_of), so the mark answers without asking the interpreter.
  if (abandoned_by_python()) return;
  if (made_) {
    // Deleted, and reusable again, before the lock goes (see swap_in).
    PyThreadState_Clear(made_);
    swap_thread_state(replaced_);
    PyThreadState_Delete(made_);
  }
  switch (lock_) {
    case Lock::kKeptThreadState:
      PyEval_SaveThread();
      break;
    case Lock::kGilState:
      PyGILState_Release(gil_state_);
      break;
    case Lock::kNone:
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
