// <Python.h>, and for the older CPythons the package builds for (3.12), the parts of the newer
// C API this code uses, written in terms of what those versions have. Every source includes
// this instead of <Python.h>, so the code itself is written once, against the newest API.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

inline PyThreadState* PyThreadState_GetUnchecked() {
  return _PyThreadState_UncheckedGet();
}

inline int Py_IsFinalizing() {
  return _Py_IsFinalizing();
}

inline int PyUnstable_AtExit(PyInterpreterState* interp, void (*func)(void*), void* data) {
  return _Py_AtExit(interp, func, data);
}

inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
  *result = PyObject_GetAttrString(obj, name);
  if (*result) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
  *result = Py_XNewRef(PyDict_GetItemWithError(dict, key));
  if (*result) return 1;
  return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
  PyObject* name = PyUnicode_FromString(key);
  if (!name) {
    *result = nullptr;
    return -1;
  }
  const int found = PyDict_GetItemRef(dict, name, result);
  Py_DECREF(name);
  return found;
}

inline int PyDict_ContainsString(PyObject* dict, const char* key) {
  PyObject* name = PyUnicode_FromString(key);
  if (!name) return -1;
  const int found = PyDict_Contains(dict, name);
  Py_DECREF(name);
  return found;
}

inline int PyDict_Pop(PyObject* dict, PyObject* key, PyObject** result) {
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(dict, key, &value);
  if (found > 0 && PyDict_DelItem(dict, key) < 0) {
    Py_CLEAR(value);
    found = -1;
  }
  if (result) {
    *result = value;
  } else {
    Py_XDECREF(value);
  }
  return found;
}

inline int PyModule_Add(PyObject* module, const char* name, PyObject* value) {
  const int added = value ? PyModule_AddObjectRef(module, name, value) : -1;
  Py_XDECREF(value);
  return added;
}

using PyTime_t = int64_t;
inline int PyTime_Monotonic(PyTime_t* result) {
  *result = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  return 0;
}

// A lock taken with the interpreter lock held that gives it up while it waits, as the newer
// PyMutex parks its thread detached. Zero is unlocked, as there.
struct PyMutex {
  std::atomic<uint8_t> locked;
};

inline bool pvr_try_lock(PyMutex* mutex) {
  uint8_t unlocked = 0;
  return mutex->locked.compare_exchange_strong(unlocked, 1);
}

inline void PyMutex_Lock(PyMutex* mutex) {
  if (pvr_try_lock(mutex)) return;
  Py_BEGIN_ALLOW_THREADS
  while (!pvr_try_lock(mutex)) std::this_thread::yield();
  Py_END_ALLOW_THREADS
}

inline void PyMutex_Unlock(PyMutex* mutex) {
  mutex->locked.store(0);
}

// The interpreter lock already makes each stretch between two calls that may give it up atomic,
// which is all a critical section promises.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#define Py_BEGIN_CRITICAL_SECTION2(a, b) {
#define Py_END_CRITICAL_SECTION2() }

#endif
