// How a runtime thread enters Python: the one place that decides which interpreter a thread
// enters, how it obtains its thread state there and the interpreter lock.
//
// Runtime threads enter the interpreter that owns the module, and only while the entry is open:
// from the owner's exec step until the owner ends (module/owner.hpp). The owner's end closes
// the entry and waits until no runtime thread is inside, so that nothing of the module runs in
// an interpreter whose objects are about to be freed.
//
// Completions and log lines arrive on threads Python has usually never seen. Building and
// tearing down a thread state for every call costs far more than the call itself, so each such
// thread keeps the main interpreter's state it was given until it ends, and takes the lock with
// it (every owner shares the main interpreter's lock). A subinterpreter cannot end while a
// thread state of another thread exists in it, so for a subinterpreter owner a runtime thread
// then makes a state for each call, under the lock, and deletes it itself before it leaves.
#pragma once

#include "common/python.hpp"

#include <cstdint>

namespace pvr {

// Lets runtime threads into `owner`. Called by the owner's exec step, the lock held. False with
// MemoryError set if it cannot.
bool open_entry(PyInterpreterState* owner);
// Lets no runtime thread in any more, and returns whether every thread but this one has left.
// With `wait`, returns once none is inside (letting the lock go meanwhile, so that those inside
// can finish): for an owner that is still whole. Without it, waits a moment only: for an owner
// already finalizing, whose lock no thread inside can take again (CPython ends a thread that
// asks for it, or from 3.13.8 on parks it for ever). Called on the owner's ending thread, the lock
// held. The thread states the main interpreter's runtime threads keep are forgotten by them: the
// interpreter deletes them as it finalizes, and they never use them again.
bool close_entry(bool wait);

// A runtime thread's pass through the entry, held from before it asks for the interpreter lock
// until it has given the lock back, and given back however it leaves: also by the unwind that the
// interpreter forces on a thread that asks it for the lock while it finalizes.
class EntryTicket {
 public:
  EntryTicket() = default;
  EntryTicket(const EntryTicket&) = delete;
  EntryTicket& operator=(const EntryTicket&) = delete;
  ~EntryTicket();

  // Passes if the entry is open; `owner` and `owner_is_main` then tell where to, and `life`
  // which opening of the entry (owner's life) it passed, for as long as the process lives.
  bool take(PyInterpreterState** owner, bool* owner_is_main, const void** life);

 private:
  void* passage_ = nullptr;  // the passage counted in, if any
};

class PythonEntry {
 public:
  // Takes the interpreter lock in the module's owner. When there is no owner, or it is
  // finalizing, takes nothing and `entered()` is false: the caller must then finish its work
  // without Python.
  PythonEntry();
  ~PythonEntry() noexcept(false);
  PythonEntry(const PythonEntry&) = delete;
  PythonEntry& operator=(const PythonEntry&) = delete;

  bool entered() const { return entered_; }

 private:
  // How this entry took the interpreter lock: not at all (the thread held it, or none was
  // taken), through the state the thread keeps, or through PyGILState.
  enum class Lock { kNone, kKeptThreadState, kGilState };
  void take_lock(const void* life);
  // Makes a state of `owner`'s the current one, in place of the one the thread holds the lock
  // with, for the time of the routine.
  void swap_in(PyInterpreterState* owner);

  bool entered_ = false;
  Lock lock_ = Lock::kNone;
  PyGILState_STATE gil_state_ = PyGILState_UNLOCKED;
  PyThreadState* made_ = nullptr;
  PyThreadState* replaced_ = nullptr;
  // Delivered outside the module's own runtime calls on this thread (inside_runtime_routine).
  const bool foreign_;
  EntryTicket ticket_;
};

// Whether this thread is inside a routine the runtime called outside the module's own calls on
// it (also when it called back inside a call made with the interpreter lock held). One delivered
// inside such a call, as a completion inside its start call, does not count: the thread waits
// only for that call, and stays the caller's.
bool inside_runtime_routine();

// Prints and reports the pending exception to sys.unraisablehook with `routine` as the context
// object, then clears it. A SystemExit is reported like any other exception: on a runtime
// thread it must not end the process.
void report_unraisable(const char* routine);

}  // namespace pvr
