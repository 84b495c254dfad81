// Text that an operation hands to the runtime for one call.
#include "marshal/runtime_text.hpp"

#include <climits>
#include <cstring>

#include "marshal/native_string.hpp"
#include "marshal/text.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

// A strong reference, so that the address never stands for another object.
PyObject* own_encoder = nullptr;

}  // namespace

bool remember_own_encoder() {
  PyObject* encoder = nullptr;
  if (PyDict_GetItemRef(state::ns, state::names.get_encoded_bytes, &encoder) < 0) return false;
  Py_XSETREF(own_encoder, encoder);
  return true;
}

void forget_own_encoder(bool release) {
  if (release) Py_XDECREF(own_encoder);
  own_encoder = nullptr;
}

// The raw allocator needs no interpreter lock: an unwind that ends this thread while it waits
// for the lock (after the start call) passes through this destructor without it.
RuntimeText::~RuntimeText() {
  PyMem_RawFree(heap_);
}

const os_char* RuntimeText::convert(PyObject* text) {
  PyObject* bound = state::peek(state::names.get_encoded_bytes);
  if (!bound || bound != own_encoder || !PyUnicode_CheckExact(text)) {
    Ref encoder = state::lookup(state::names.get_encoded_bytes);
    if (!encoder) return nullptr;
    holder_ = new_native_string();
    return holder_ ? runtime_text_with(as_native_string(holder_), encoder.get(), text) : nullptr;
  }
  const Py_ssize_t units = utf16_units(text);
  if (units < 0) {
    encode_utf16le(text);  // raises the codec's own error
    return nullptr;
  }
  if (units >= INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "text too long for the runtime");
    return nullptr;
  }
  os_char* out = inline_;
  if (units >= kInlineUnits) {
    PyMem_RawFree(heap_);
    out = heap_ = static_cast<os_char*>(PyMem_RawMalloc((units + 1) * sizeof(os_char)));
    if (!out) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  write_utf16(text, out);
  out[units] = 0;
  // In one-byte text a zero unit is a zero character, which memchr finds among the characters
  // faster than a search of the units; the search is left to name the fault.
  if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND &&
      !std::memchr(PyUnicode_1BYTE_DATA(text), 0, static_cast<size_t>(units)))
    return out;
  return refuse_embedded_null(out, units) ? out : nullptr;
}

}  // namespace pvr
