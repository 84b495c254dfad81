// Getters shared by the result classes: plain texts, telemetry, the error a result carries and
// the account it names.
//
// Each is a method body of the module's function objects, instantiated per handle kind and
// runtime operation, so every result class reads its runtime the same way: the query without
// the interpreter lock, then its own error handle through check_error before the out slot is
// looked at.
#pragma once

#include "common/python.hpp"

#include <cstdint>

#include "common/gil.hpp"
#include "common/ref.hpp"
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "marshal/string_getter.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"
#include "vessaruntime.h"

namespace pvr {

// A runtime query that writes one value through its last argument.
template <class Handle, class Out>
using OutQuery = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(Handle, Out*);

// Runs `query` without the interpreter lock and checks the error handle it returns; false with
// a Python exception when the runtime refused, in which case `*out` means nothing.
template <class Handle, class Out>
bool query_value(OutQuery<Handle, Out> query, Handle handle, Out* out) {
  return check_error(without_gil([&] { return query(handle, out); }));
}

// A new VESSARuntimeAccount that adopts the account `owner` holds. The class is the module's own
// static class, which Python cannot replace, so the object is made as its constructor makes one.
// If that fails, `owner` releases the handle as it goes.
inline PyObject* new_account(OwnedAccount owner) {
  return adopt(&AccountType, owner);
}

// What two getters of VESSARuntimeAuthResult make of the runtime's answer: the granted scopes of
// their text (str or None), and the expiry time of the value the runtime stored.
PyObject* granted_scopes_value(PyObject* text);
PyObject* expiry_time_value(int64_t stored);

// A string property of the result, as the runtime reports it: str, or None for no value.
template <class Handle, StringGetter<Handle> Getter>
PyObject* read_text(PyObject* self, PyObject* const*) {
  return get_string(Getter, handle_of<Handle>(self));
}

// What get_telemetry_data answers when the runtime has no telemetry.
enum class NoTelemetry { kEmptyDict, kNone };

// The telemetry of its text (str or None): the text parsed by the module's `json` (looked up at
// each call, so a caller may rebind it), whatever JSON value it holds.
inline PyObject* telemetry_value(PyObject* text, NoTelemetry absent) {
  if (text == Py_None || PyUnicode_GET_LENGTH(text) == 0) {
    if (absent == NoTelemetry::kEmptyDict) return PyDict_New();
    Py_RETURN_NONE;
  }
  Ref json = state::lookup(state::names.json);
  if (!json) return nullptr;
  Ref loads = Ref::steal(PyObject_GetAttr(json.get(), state::names.loads));
  if (!loads) return nullptr;
  return PyObject_CallOneArg(loads.get(), text);
}

template <class Handle, StringGetter<Handle> Getter, NoTelemetry Absent>
PyObject* get_telemetry_data(PyObject* self, PyObject* const*) {
  Ref text = Ref::steal(get_string(Getter, handle_of<Handle>(self)));
  if (!text) return nullptr;
  return telemetry_value(text.get(), Absent);
}

// The error the result carries: None when the operation succeeded, otherwise a new
// VESSARuntimeError that owns the handle. The error handle the query itself returns is a
// failure of the query and is raised instead.
template <class Handle, OutQuery<Handle, VESSARUNTIME_ERROR_HANDLE> Query>
PyObject* get_error(PyObject* self, PyObject* const*) {
  VESSARUNTIME_ERROR_HANDLE carried = nullptr;
  if (!query_value(Query, handle_of<Handle>(self), &carried)) return nullptr;
  if (!carried) Py_RETURN_NONE;
  return wrap_error(carried).release();
}

// The account the result names: None, or a new VESSARuntimeAccount on every call, each owning
// the handle its own query obtained.
template <class Handle, OutQuery<Handle, VESSARUNTIME_ACCOUNT_HANDLE> Query>
PyObject* get_account(PyObject* self, PyObject* const*) {
  VESSARUNTIME_ACCOUNT_HANDLE account = nullptr;
  if (!query_value(Query, handle_of<Handle>(self), &account)) return nullptr;
  if (!account) Py_RETURN_NONE;
  return new_account(OwnedAccount(account));
}

}  // namespace pvr
