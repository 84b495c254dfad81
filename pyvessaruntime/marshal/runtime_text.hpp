// Text that an operation hands to the runtime for one call.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"
#include "vessaruntime.h"

namespace pvr {

// Zero-terminated UTF-16 units that live as long as this object (the runtime copies what it
// keeps). The conversion is the one of NativeString's get_os_char_string: through the module's
// `_get_encoded_bytes`, looked up by name at each conversion. While that name holds the module's
// own function, which encodes a str as UTF-16 exactly as the units are written here, the text is
// written straight into a buffer of this object (on the stack for short texts) instead of going
// through a bytes object and a NativeString; any other binding is called as ever.
class RuntimeText {
 public:
  RuntimeText() = default;
  ~RuntimeText();
  RuntimeText(const RuntimeText&) = delete;
  RuntimeText& operator=(const RuntimeText&) = delete;

  // The units of `text`, or null with an exception: the encoder's own failure, a lone
  // surrogate (the codec's UnicodeEncodeError), or ValueError "embedded null character" when a
  // zero unit comes before the end, since the runtime would act on the text up to there only.
  const os_char* convert(PyObject* text);

 private:
  static constexpr Py_ssize_t kInlineUnits = 128;
  os_char inline_[kInlineUnits];
  os_char* heap_ = nullptr;  // PyMem_RawMalloc'd, for longer texts
  Ref holder_;               // the NativeString of a conversion through another encoder
};

// Remembers the `_get_encoded_bytes` function the exec step has just bound.
bool remember_own_encoder();
// Forgets the encoder of an owner; with `release`, in the owner, it goes too, otherwise (an owner
// that has ended) it is left untouched.
void forget_own_encoder(bool release);

}  // namespace pvr
