// How a runtime thread enters Python, and how exceptions on such threads are reported.
#include "async/python_entry.hpp"

#include "common/gil.hpp"

namespace pvr {
namespace {

bool interpreter_alive() {
  return Py_IsInitialized() && !Py_IsFinalizing();
}

// The thread state a runtime thread keeps between calls. Given back when the thread ends, unless
// the interpreter is already going: finalization deletes every thread state itself, and taking
// the lock then would end this thread in the middle of its exit. On Windows it is never given
// back by the ending thread: thread-local destructors run there under the loader lock, which the
// thread holding the interpreter lock may need (to load a module, to end the process), so
// waiting for the interpreter lock would deadlock; the state stays with the interpreter, which
// deletes it as it finalizes.
struct KeptThreadState {
  PyThreadState* state = nullptr;
  ~KeptThreadState() noexcept(false) {
#if !defined(_WIN32)
    if (!state || abandoned_by_python() || !interpreter_alive()) return;
    restore_thread(state);
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
#endif
  }
};

thread_local KeptThreadState kept PVR_FAST_TLS;

}  // namespace

PythonEntry::PythonEntry() {
  // A completion or log line that arrives while the interpreter shuts down is dropped: the
  // interpreter can no longer run a callback, and a thread that asked it for the lock now would
  // be ended by it.
  if (!interpreter_alive()) return;
  if (holds_python()) {
    // The runtime called back inside a call made with the lock held: nothing to take.
    mode_ = Mode::kNested;
    return;
  }
  if (kept.state) {
    restore_thread(kept.state);
    mode_ = Mode::kKeptThreadState;
  } else if (PyGILState_GetThisThreadState()) {
    // A thread Python knows (for instance a caller of the runtime completing inline).
    gil_state_ = ensure_gil();
    mode_ = Mode::kGilState;
  } else {
    // First visit of a runtime thread: its new thread state is kept for the next calls.
    ensure_gil();
    kept.state = PyThreadState_Get();
    mode_ = Mode::kKeptThreadState;
  }
}

PythonEntry::~PythonEntry() noexcept(false) {
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
    case Mode::kNested:
    case Mode::kNotEntered:
      break;
  }
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
