// Function objects of the module: module-level functions and the methods of its classes.
//
// They carry the names, qualified names, `__module__` and docstrings that callers see, bind
// positional and keyword arguments by parameter name before the body runs, and, for methods,
// bind to an instance like Python functions do (and check that the instance has the right type).
#pragma once

#include "common/python.hpp"

#include <cstddef>

namespace pvr {

// The body of a function: `self` is the instance for methods (null for module functions),
// `args` holds one value per declared parameter (defaults filled in), all borrowed.
using FunctionBody = PyObject* (*)(PyObject* self, PyObject* const* args);

inline constexpr int kMaxParameters = 8;

struct FunctionDef {
  const char* name;
  FunctionBody body;
  const char* doc;
  // Parameter names, in order, excluding `self`; at most kMaxParameters.
  const char* params[kMaxParameters] = {};
};

// A run of definitions, installed together.
struct FunctionTable {
  const FunctionDef* defs;
  std::size_t size;
  template <std::size_t N>
  constexpr FunctionTable(const FunctionDef (&d)[N]) : defs(d), size(N) {}
  constexpr FunctionTable() : defs(nullptr), size(0) {}
};

// Readies the two function types; called once by the module's exec step.
bool ready_function_types();
// Unreadies them, for the next owner of the module (forget_readied).
void forget_function_types(bool release);

// Binds every definition of `table` under its name: in `target_dict` for module functions, or
// into the dictionary of `owner` for methods. `defaults` (may be null) is a tuple of values for
// the last parameters of each method.
bool add_functions(PyObject* target_dict, const FunctionTable& table);
bool add_methods(PyTypeObject* owner, const FunctionTable& table, PyObject* defaults = nullptr);

}  // namespace pvr
