// The shape shared by every class that owns one runtime handle.
//
// Each wrapper owns its handle alone and releases it once, when the wrapper is destroyed.
// A destructor never raises and leaves an exception that is propagating meanwhile untouched.
#pragma once

#include "common/python.hpp"

#include <cstdint>

#include "common/args.hpp"
#include "common/gil.hpp"
#include "handles/owned_handle.hpp"
#include "vessaruntime.h"

#define PVR_CLASS_NAME(name) "pyvessaruntime.pyvessaruntime." name

namespace pvr {

template <class Handle>
struct HandleObject {
  PyObject_HEAD Handle handle;
};

template <class Handle>
Handle& handle_of(PyObject* self) {
  return reinterpret_cast<HandleObject<Handle>*>(self)->handle;
}

// The handle as the signed 64-bit integer Python sees, and back.
template <class Handle>
int64_t handle_to_int(Handle handle) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(handle));
}
template <class Handle>
Handle handle_from_int(int64_t value) {
  return reinterpret_cast<Handle>(static_cast<intptr_t>(value));
}

// Keeps an exception that is propagating while a wrapper is destroyed out of the destructor's way.
class PendingExceptionGuard {
 public:
  PendingExceptionGuard() : saved_(PyErr_GetRaisedException()) {}
  // Nothing to put back when nothing was propagating (a release raises nothing itself).
  ~PendingExceptionGuard() {
    if (saved_ && holds_python()) PyErr_SetRaisedException(saved_);
  }
  PendingExceptionGuard(const PendingExceptionGuard&) = delete;
  PendingExceptionGuard& operator=(const PendingExceptionGuard&) = delete;

 private:
  PyObject* saved_;
};

template <class Handle, ReleaseOperation<Handle> Release>
void dealloc_releasing(PyObject* self) {
  // An object whose handle went elsewhere (a result the completion releases itself) has
  // nothing to release.
  if (Handle handle = handle_of<Handle>(self)) {
    PendingExceptionGuard guard;
    release_handle<Handle, Release>(handle);
  }
  Py_TYPE(self)->tp_free(self);
}

// A new object of `type` that adopts the handle `owner` holds; on failure (null with an
// exception) `owner` keeps the handle. Made without calling the class, so no argument parsing
// and no second owner: the object holds the handle only once it exists.
template <class Handle, ReleaseOperation<Handle> Release>
PyObject* adopt(PyTypeObject* type, OwnedHandle<Handle, Release>& owner) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) handle_of<Handle>(self) = owner.release();
  return self;
}

// The discover result, whose objects also hold a list of accounts, made the same way.
PyObject* adopt_discover_result(OwnedDiscoverResult& owner);

// Constructor of classes whose objects start empty and ignore any arguments.
PyObject* new_empty(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Constructor argument `rawHandle`: required, not None, coerced to a signed 64-bit integer.
// `type_name` names the class in argument-count errors.
bool parse_raw_handle(const char* type_name, PyObject* args, PyObject* kwargs, int64_t* out);

// Constructor of the classes made from a raw handle: `Wrapper(rawHandle)`.
template <class Handle>
PyObject* new_from_raw_handle(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  int64_t raw = 0;
  if (!parse_raw_handle(type->tp_name, args, kwargs, &raw)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self) handle_of<Handle>(self) = handle_from_int<Handle>(raw);
  return self;
}

// A static class of the module: subclassable, based on object. `doc` (may be null) is the
// internal docstring: a text signature line ("Name(params)\n--\n\n") gives introspection the
// constructor's parameters and leaves `__doc__` to what follows it (None when nothing does).
PyTypeObject make_class(const char* name, Py_ssize_t size, newfunc tp_new, destructor dealloc,
                        const char* doc = nullptr);

// The internal docstring of a class built from a raw handle: a text signature, no docstring.
#define PVR_RAW_HANDLE_DOC(class_name) class_name "(rawHandle)\n--\n\n"

}  // namespace pvr
