// The callback records that tie a pending operation (or a log registration) to its Python
// callback.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"

namespace pvr {

// `_VESSARuntimeCallBackData(py_callback)`, the class looked up by name at this call: the new
// record, registered in `_callbackStorage` by its __init__, or null with an exception. While the
// name holds the class the module made, unchanged, the record is built without going through
// the class call's generic machinery, with the same steps and results.
Ref new_callback_record(PyObject* py_callback);

// Forgets the record class of an owner; with `release`, in the owner, it goes too, otherwise (an
// owner that has ended) it is left untouched.
void forget_record_class(bool release);

}  // namespace pvr
