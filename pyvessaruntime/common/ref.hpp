// Owning references to Python objects.
//
// Ref owns exactly one strong reference (or none). It is created either by stealing a new
// reference (Ref::steal, the usual case for results of the C API) or by taking a new one on a
// borrowed pointer (Ref::borrow). release() hands the reference over to the caller. Raw
// PyObject* elsewhere in this code base is always borrowed. A thread that the interpreter ends
// while it waits for the lock (common/gil.hpp) leaves its references behind.
#pragma once

#include "common/python.hpp"

#include <utility>

#include "common/gil.hpp"

namespace pvr {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  // Dropping a reference can run any destructor, including one that gives the interpreter lock
  // up and asks for it back: the unwind that may end this thread there must pass through here.
  // Only such an unwind leaves a reference behind without the lock. An unwind out of our own
  // requests for the lock is marked on this thread (a flag read for free); one out of the
  // interpreter's requests happens only once it finalizes, which it marks before, so until then
  // the question which thread state is attached (a call per reference) need not be asked.
  ~Ref() noexcept(false) {
    if (obj_ && !abandoned_by_python() && (!Py_IsFinalizing() || holds_python())) Py_DECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (for returning a new reference to Python).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  void reset() { Py_CLEAR(obj_); }

 private:
  explicit Ref(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace pvr
