// get_console_window() and get_desktop_window(): native window handles as Python integers.
#include "common/gil.hpp"
#include "module/registry.hpp"
#include "window/native_window.hpp"

namespace pvr {
namespace {

// The handle's bits read as a signed 64-bit number: the form in which the interactive
// operations take parentWindowHandle, so the value can be passed on unchanged.
PyObject* window_as_int(std::intptr_t window) {
  return PyLong_FromLongLong(static_cast<long long>(window));
}

// get_console_window(): None when there is no console window to parent a prompt to.
PyObject* get_console_window(PyObject*, PyObject* const*) {
  const std::intptr_t vrt_window = without_gil(native::console_root_owner_window);
  if (vrt_window == 0) Py_RETURN_NONE;
  return window_as_int(vrt_window);
}

// get_desktop_window(): always an int, also when the platform answers with a null handle.
PyObject* get_desktop_window(PyObject*, PyObject* const*) {
  const std::intptr_t vrt_window = without_gil(native::desktop_window);
  return window_as_int(vrt_window);
}

const FunctionDef kWindowFunctions[] = {
    {"get_console_window", get_console_window, "get_console_window()", {}},
    {"get_desktop_window", get_desktop_window, "get_desktop_window()", {}},
};

}  // namespace

const FunctionTable window_functions = kWindowFunctions;

}  // namespace pvr
