#include "results/values.hpp"

#include <cstddef>
#include <iterator>

namespace pvr {
namespace {

// The reader's answers for a token, in its order (handles/result_reader.hpp).
enum TokenRead : Py_ssize_t {
  kCarriedError,
  kAccount,
  kTelemetry,
  kRawIdToken,
  kAccessToken,
  kAuthorizationHeader,
  kExpiry,
  kGrantedScopes,
  kIdToken,
  kAccountReads,  // the account's thirteen, then is_pop_authorization
  kIsPop = kAccountReads + 13,
  kTokenReads,
};

// An account's answers that are not its fields as they stand.
constexpr Py_ssize_t kAccountReadCount = 13;
constexpr Py_ssize_t kAdditionalFields = 10;

// The fields of `Token` and `Account`, in the dataclasses' order.
const char* const kTokenFields[] = {
    "access_token", "authorization_header", "expires_at", "granted_scopes",
    "id_token",     "raw_id_token",         "account",    "telemetry",
    "is_pop"};
const char* const kAccountFields[] = {
    "account_id",        "home_account_id",  "environment", "realm",       "local_account_id",
    "user_name",         "given_name",       "family_name", "middle_name", "display_name",
    "additional_fields", "home_environment", "client_info", "_native"};

PyObject* interned_names(const char* const* names, std::size_t count) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  for (std::size_t i = 0; tuple && i < count; ++i) {
    PyObject* name = PyUnicode_InternFromString(names[i]);
    if (!name)
      Py_CLEAR(tuple);
    else
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

// An instance of the frozen dataclass `cls` whose fields are `values` (stolen, each may be
// null after a failure), set in one step as ``object.__setattr__(value, "__dict__", fields)``:
// the generated ``__init__`` would set them one by one.
PyObject* made(PyObject* cls, PyObject* names, PyObject** values, PyObject* dict_name) {
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  PyObject* fields = nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!values[i]) goto done;
  }
  fields = PyDict_New();
  if (!fields) goto done;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyDict_SetItem(fields, PyTuple_GET_ITEM(names, i), values[i]) < 0) Py_CLEAR(fields);
    if (!fields) goto done;
  }
done:
  for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(values[i]);
  if (!fields) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* value = type->tp_alloc(type, 0);
  if (value && PyObject_GenericSetAttr(value, dict_name, fields) < 0) Py_CLEAR(value);
  Py_DECREF(fields);
  return value;
}

PyObject* or_empty_text(PyObject* text) {
  const int truth = PyObject_IsTrue(text);
  if (truth < 0) return nullptr;
  return truth ? Py_NewRef(text) : PyUnicode_FromStringAndSize("", 0);
}

PyObject* call1(PyObject* function, PyObject* argument) {
  return PyObject_CallOneArg(function, argument);
}

// A mapping made read-only, and each dict or list in it as `frozen` makes it.
PyObject* frozen_dict(const ValueMakers& makers, PyObject* dict) {
  if (Py_IS_TYPE(dict, reinterpret_cast<PyTypeObject*>(makers.read_only_dict)))
    return Py_NewRef(dict);
  PyObject* frozen = call1(makers.read_only_dict, dict);
  if (!frozen) return nullptr;
  Py_ssize_t at = 0;
  PyObject *key, *item;
  while (PyDict_Next(dict, &at, &key, &item)) {
    if (!PyDict_Check(item) && !PyList_Check(item)) continue;
    PyObject* inner = call1(makers.frozen, item);
    // Into the dict itself: the read-only type refuses its own item assignment.
    const int set = inner ? PyDict_SetItem(frozen, key, inner) : -1;
    Py_XDECREF(inner);
    if (set < 0) {
      Py_DECREF(frozen);
      return nullptr;
    }
  }
  return frozen;
}

PyObject* telemetry_value(const ValueMakers& makers, PyObject* telemetry) {
  if (PyDict_Check(telemetry)) return frozen_dict(makers, telemetry);
  PyObject* wrapped = Py_BuildValue("{sO}", "value", telemetry);
  if (!wrapped) return nullptr;
  PyObject* frozen = frozen_dict(makers, wrapped);
  Py_DECREF(wrapped);
  return frozen;
}

// The runtime's expiry is Unix seconds in 32 bits: a negative value is one past 2038 that
// wrapped, not one before 1970.
PyObject* expires_at(const ValueMakers& makers, PyObject* expiry) {
  PyObject* span = PyLong_FromLongLong(1LL << 32);
  PyObject* seconds = span ? PyNumber_Remainder(expiry, span) : nullptr;
  Py_XDECREF(span);
  if (!seconds) return nullptr;
  PyObject* args[] = {seconds, makers.utc};
  PyObject* at = PyObject_Vectorcall(makers.from_timestamp, args, 2, nullptr);
  Py_DECREF(seconds);
  return at;
}

PyObject* is_nonzero(PyObject* number) {
  PyObject* zero = PyLong_FromLong(0);
  PyObject* nonzero = zero ? PyObject_RichCompare(number, zero, Py_NE) : nullptr;
  Py_XDECREF(zero);
  return nonzero;
}

PyObject* scopes_tuple(PyObject* scopes) {
  const int truth = PyObject_IsTrue(scopes);
  if (truth < 0) return nullptr;
  return truth ? PySequence_Tuple(scopes) : PyTuple_New(0);
}

PyObject* id_token_claims(const ValueMakers& makers, PyObject* id_token, PyObject* raw) {
  const int truth = PyObject_IsTrue(id_token);
  if (truth < 0) return nullptr;
  return call1(makers.claims, truth ? id_token : raw);
}

PyObject* account_from(const ValueMakers& makers, PyObject* native, PyObject* const* reads) {
  PyObject* values[std::size(kAccountFields)];
  for (Py_ssize_t i = 0; i < kAccountReadCount; ++i) values[i] = Py_NewRef(reads[i]);
  Py_SETREF(values[kAdditionalFields], call1(makers.json_object, reads[kAdditionalFields]));
  values[kAccountReadCount] = Py_NewRef(native);
  return made(makers.account_class, makers.account_fields, values, makers.dict_name);
}

bool configured(const ValueMakers& makers) {
  if (makers.token_class) return true;
  PyErr_SetString(PyExc_RuntimeError, "the value makers are not configured");
  return false;
}

}  // namespace

int configure_value_makers(ValueMakers& makers, PyObject* const* args, Py_ssize_t count) {
  if (count != 8 || !PyType_Check(args[0]) || !PyType_Check(args[1]) || !PyType_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError,
                    "configure_values() takes the Token, Account and "
                    "read-only mapping classes and five callables");
    return -1;
  }
  PyObject* token_fields = interned_names(kTokenFields, std::size(kTokenFields));
  PyObject* account_fields = interned_names(kAccountFields, std::size(kAccountFields));
  PyObject* dict_name = PyUnicode_InternFromString("__dict__");
  if (!token_fields || !account_fields || !dict_name) {
    Py_XDECREF(token_fields);
    Py_XDECREF(account_fields);
    Py_XDECREF(dict_name);
    return -1;
  }
  clear_value_makers(makers);
  PyObject** slots[] = {
      &makers.token_class, &makers.account_class, &makers.read_only_dict, &makers.frozen,
      &makers.claims,      &makers.json_object,   &makers.from_timestamp, &makers.utc};
  for (Py_ssize_t i = 0; i < count; ++i) *slots[i] = Py_NewRef(args[i]);
  makers.token_fields = token_fields;
  makers.account_fields = account_fields;
  makers.dict_name = dict_name;
  return 0;
}

int visit_value_makers(const ValueMakers& makers, visitproc visit, void* arg) {
  Py_VISIT(makers.token_class);
  Py_VISIT(makers.account_class);
  Py_VISIT(makers.read_only_dict);
  Py_VISIT(makers.frozen);
  Py_VISIT(makers.claims);
  Py_VISIT(makers.json_object);
  Py_VISIT(makers.from_timestamp);
  Py_VISIT(makers.utc);
  return 0;
}

void clear_value_makers(ValueMakers& makers) {
  Py_CLEAR(makers.token_class);
  Py_CLEAR(makers.account_class);
  Py_CLEAR(makers.read_only_dict);
  Py_CLEAR(makers.frozen);
  Py_CLEAR(makers.claims);
  Py_CLEAR(makers.json_object);
  Py_CLEAR(makers.from_timestamp);
  Py_CLEAR(makers.utc);
  Py_CLEAR(makers.token_fields);
  Py_CLEAR(makers.account_fields);
  Py_CLEAR(makers.dict_name);
}

PyObject* make_token(const ValueMakers& makers, PyObject* reads) {
  if (!configured(makers)) return nullptr;
  if (!PyTuple_Check(reads) || PyTuple_GET_SIZE(reads) != kTokenReads) {
    PyErr_SetString(PyExc_ValueError, "a token is made of a successful result's answers");
    return nullptr;
  }
  PyObject* const* read = &PyTuple_GET_ITEM(reads, 0);
  PyObject* values[std::size(kTokenFields)] = {};
  // One after the other, up to the first that fails: none may run with an exception set.
  int i = 0;
  (values[i] = or_empty_text(read[kAccessToken])) && ++i &&
      (values[i] = or_empty_text(read[kAuthorizationHeader])) && ++i &&
      (values[i] = expires_at(makers, read[kExpiry])) && ++i &&
      (values[i] = scopes_tuple(read[kGrantedScopes])) && ++i &&
      (values[i] = id_token_claims(makers, read[kIdToken], read[kRawIdToken])) && ++i &&
      (values[i] = Py_NewRef(read[kRawIdToken])) && ++i &&
      (values[i] = account_from(makers, read[kAccount], read + kAccountReads)) && ++i &&
      (values[i] = telemetry_value(makers, read[kTelemetry])) && ++i &&
      (values[i] = is_nonzero(read[kIsPop]));
  return made(makers.token_class, makers.token_fields, values, makers.dict_name);
}

PyObject* make_account(const ValueMakers& makers, PyObject* native, PyObject* reads) {
  if (!configured(makers)) return nullptr;
  if (!PyTuple_Check(reads) || PyTuple_GET_SIZE(reads) != kAccountReadCount) {
    PyErr_SetString(PyExc_ValueError, "an account is made of its thirteen answers");
    return nullptr;
  }
  return account_from(makers, native, &PyTuple_GET_ITEM(reads, 0));
}

}  // namespace pvr
