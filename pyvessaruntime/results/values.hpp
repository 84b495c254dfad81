// The typed layer's values made from a reader's answers (handles/result_reader.hpp): a `Token`
// from an auth result's, an `Account` from an account's, each an instance of the layer's frozen
// dataclass with every field set in one step, as the layer's own code would set them.
//
// The layer hands over once, with `configure_values`, the classes and what makes the fields
// that are not plain answers: the read-only form of a mapping (`frozen`), the parsed forms of an
// ID token (`claims`) and of additional fields (`json_object`), and the expiry's datetime
// (`from_timestamp`, `utc`). The layer itself judges the answers that are failures (an error the
// result carries, no account, an account without an id) before asking for a value.
#pragma once

#include "common/python.hpp"

namespace pvr {

struct ValueMakers {
  PyObject* token_class = nullptr;
  PyObject* account_class = nullptr;
  PyObject* read_only_dict = nullptr;  // the type of a read-only mapping
  PyObject* frozen = nullptr;          // frozen(value): read-only all the way down
  PyObject* claims = nullptr;
  PyObject* json_object = nullptr;
  PyObject* from_timestamp = nullptr;
  PyObject* utc = nullptr;
  PyObject* token_fields = nullptr;    // tuple of the field names, in the dataclass's order
  PyObject* account_fields = nullptr;  // the same, then the key of the runtime's account object
  PyObject* dict_name = nullptr;       // "__dict__"
};

int configure_value_makers(ValueMakers& makers, PyObject* const* args, Py_ssize_t count);
int visit_value_makers(const ValueMakers& makers, visitproc visit, void* arg);
void clear_value_makers(ValueMakers& makers);

// token(reads): the `Token` of an auth result's answers, in the reader's order and length.
PyObject* make_token(const ValueMakers& makers, PyObject* reads);
// account(native, reads): the `Account` of a runtime account object and its thirteen answers.
PyObject* make_account(const ValueMakers& makers, PyObject* native, PyObject* reads);

}  // namespace pvr
