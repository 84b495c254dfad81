/* The floor of each benchmark: a plain C extension that does the mandatory work of a hot path
 * and nothing else, against the same runtime library as the extension. A benchmark divides the
 * extension's time by this module's time for the same calls.
 *
 * What "mandatory" means here is the contract every binding of the runtime has to keep:
 * - a property read: both runtime calls without the interpreter lock (and, when the size call
 *   answers with an error, reading its status and releasing it), then one UTF-16 decode;
 * - an operation: exact-str checks, a record object with `callback` and `id` attributes (an
 *   instance of a plain class, attributes in its __dict__) stored under its id in a dict found by
 *   name in the module, the texts converted to zero-terminated UTF-16, the start call without the
 *   lock, an async-handle object returned;
 * - a completion: the lock taken (one thread state kept per runtime thread), the record popped
 *   from the dict found by name, a result object made and passed to the record's callback, the
 *   result handle released once the object dies, without the lock;
 * - a log line: the lock taken the same way, the message decoded, the record found by the
 *   context, the level turned into a member of the enumeration found by name, the callback
 *   called with both.
 * Errors are reported, but only as far as a benchmark can meet them. Benchmark code only. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#include "vessaruntime.h"

static PyObject* module_dict; /* borrowed: the module lives as long as the process */
static PyObject* str_callbackStorage;
static PyObject* str_callback;
static PyObject* str_id;
static PyObject* str_LogLevel;
static PyObject* record_class;
static PyObject* held_storage; /* the storage found by name at import, for the lean start */
static PyObject* level_class; /* the enumeration the members below belong to */
static PyObject* level_members[7];

/* ---- entering Python from a runtime thread ----------------------------------------------- */

/* A runtime thread keeps the thread state it was given. What no binding may skip: a thread that
 * asks for the lock while the interpreter finalizes is ended by it (so a line or completion
 * arriving then is dropped), and the runtime may call back on a thread that already holds the
 * lock (a call made with it held), which must not ask for it again. */
static _Thread_local PyThreadState* kept_state;

typedef struct {
  enum { NOT_ENTERED, NESTED, KEPT, GIL_STATE } mode;
  PyGILState_STATE gil_state;
} Entry;

static int enter(Entry* entry) {
  entry->mode = NOT_ENTERED;
  if (!Py_IsInitialized() || Py_IsFinalizing()) return 0;
  if (PyThreadState_GetUnchecked()) {
    entry->mode = NESTED;
  } else if (kept_state) {
    PyEval_RestoreThread(kept_state);
    entry->mode = KEPT;
  } else if (PyGILState_GetThisThreadState()) {
    entry->gil_state = PyGILState_Ensure();
    entry->mode = GIL_STATE;
  } else {
    PyGILState_Ensure();
    kept_state = PyThreadState_Get();
    entry->mode = KEPT;
  }
  return 1;
}

static void leave(Entry* entry) {
  if (entry->mode == GIL_STATE) {
    PyGILState_Release(entry->gil_state);
  } else if (entry->mode == KEPT) {
    PyEval_SaveThread();
  }
}

static PyObject* lookup(PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(module_dict, name);
  if (!found && !PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name);
  return found;
}

/* ---- text -------------------------------------------------------------------------------- */

#define STACK_UNITS 256

typedef struct {
  os_char stack[STACK_UNITS];
  os_char* units;
} Text;

/* `text` as zero-terminated UTF-16 in `out`; the codec reports what it cannot encode. */
static int to_units(PyObject* text, Text* out) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  out->units = out->stack;
  if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && length < STACK_UNITS) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) out->stack[i] = data[i];
    out->stack[length] = 0;
    return 0;
  }
  PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-16-le", "strict");
  if (!bytes) return -1;
  Py_ssize_t units = PyBytes_GET_SIZE(bytes) / 2;
  out->units = units < STACK_UNITS ? out->stack : PyMem_Malloc((units + 1) * sizeof(os_char));
  if (!out->units) {
    Py_DECREF(bytes);
    PyErr_NoMemory();
    return -1;
  }
  memcpy(out->units, PyBytes_AS_STRING(bytes), units * 2);
  out->units[units] = 0;
  Py_DECREF(bytes);
  return 0;
}

static void free_units(Text* text) {
  if (text->units != text->stack) PyMem_Free(text->units);
}

static PyObject* runtime_failure(void) {
  PyErr_SetString(PyExc_RuntimeError, "the runtime refused");
  return NULL;
}

/* ---- handle objects ---------------------------------------------------------------------- */

typedef struct {
  PyObject_HEAD void* handle;
} HandleObject;

#define HANDLE(o, type) ((type)((HandleObject*)(o))->handle)

static PyObject* new_from_handle(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"rawHandle", NULL};
  long long raw = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L", keywords, &raw)) return NULL;
  PyObject* self = type->tp_alloc(type, 0);
  if (self) ((HandleObject*)self)->handle = (void*)(intptr_t)raw;
  return self;
}

#define RELEASING_DEALLOC(name, handle_type, release) \
  static void name(PyObject* self) {                  \
    handle_type handle = HANDLE(self, handle_type);   \
    if (handle) {                                     \
      VESSARUNTIME_ERROR_HANDLE error;                \
      Py_BEGIN_ALLOW_THREADS error = release(handle); \
      if (error) VESSARUNTIME_ReleaseError(error);    \
      Py_END_ALLOW_THREADS                            \
    }                                                 \
    Py_TYPE(self)->tp_free(self);                     \
  }

RELEASING_DEALLOC(account_dealloc, VESSARUNTIME_ACCOUNT_HANDLE, VESSARUNTIME_ReleaseAccount)
RELEASING_DEALLOC(read_result_dealloc, VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE,
                  VESSARUNTIME_ReleaseReadAccountResult)
RELEASING_DEALLOC(auth_result_dealloc, VESSARUNTIME_AUTH_RESULT_HANDLE,
                  VESSARUNTIME_ReleaseAuthResult)
RELEASING_DEALLOC(async_handle_dealloc, VESSARUNTIME_ASYNC_HANDLE, VESSARUNTIME_ReleaseAsyncHandle)

/* Account.get_display_name(): both calls in one lock-free stretch, a stack buffer, one decode. */
static PyObject* account_get_display_name(PyObject* self, PyObject* unused) {
  (void)unused;
  VESSARUNTIME_ACCOUNT_HANDLE account = HANDLE(self, VESSARUNTIME_ACCOUNT_HANDLE);
  os_char buffer[STACK_UNITS];
  int32_t size = 0, status = 10;
  VESSARUNTIME_ERROR_HANDLE first, second = NULL, status_error = NULL;
  Py_BEGIN_ALLOW_THREADS first = VESSARUNTIME_GetDisplayName(account, NULL, &size);
  if (first) {
    status_error = VESSARUNTIME_GetStatus(first, &status);
    VESSARUNTIME_ReleaseError(first);
  }
  if (!status_error && status == 10 && size > 0 && size <= STACK_UNITS)
    second = VESSARUNTIME_GetDisplayName(account, buffer, &size);
  Py_END_ALLOW_THREADS if (status_error || status != 10 || second ||
                           size > STACK_UNITS) return runtime_failure();
  if (size == 0) Py_RETURN_NONE;
  int byteorder = -1;
  return PyUnicode_DecodeUTF16((const char*)buffer, (Py_ssize_t)(size - 1) * 2, NULL, &byteorder);
}

static PyMethodDef account_methods[] = {
    {"get_display_name", account_get_display_name, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

#define HANDLE_TYPE(var, type_name, dealloc, methods, new)               \
  static PyTypeObject var = {                                            \
      PyVarObject_HEAD_INIT(NULL, 0).tp_name = "_vessafloor." type_name, \
      .tp_basicsize = sizeof(HandleObject),                              \
      .tp_dealloc = dealloc,                                             \
      .tp_flags = Py_TPFLAGS_DEFAULT,                                    \
      .tp_methods = methods,                                             \
      .tp_new = new,                                                     \
  };

HANDLE_TYPE(AccountType, "Account", account_dealloc, account_methods, new_from_handle)
HANDLE_TYPE(ReadResultType, "ReadAccountResult", read_result_dealloc, NULL, NULL)
HANDLE_TYPE(AuthResultType, "AuthResult", auth_result_dealloc, NULL, NULL)
HANDLE_TYPE(AsyncHandleType, "AsyncHandle", async_handle_dealloc, NULL, NULL)

/* ---- completions ------------------------------------------------------------------------- */

/* Pops the record, hands the callback a new result object and reports what went wrong. The
 * result handle is released after the lock is given back when the callback kept no reference. */
static void complete(PyTypeObject* result_type, void* handle, void* context,
                     VESSARUNTIME_ERROR_HANDLE (*release)(void*)) {
  Entry entry;
  if (!enter(&entry)) {
    VESSARUNTIME_ERROR_HANDLE error = release(handle);
    if (error) VESSARUNTIME_ReleaseError(error);
    return;
  }
  void* unreleased = handle;
  PyObject* key = (PyObject*)context;
  PyObject* storage = lookup(str_callbackStorage);
  PyObject* record = NULL;
  if (storage && PyDict_Pop(storage, key, &record) > 0) {
    PyObject* result = result_type->tp_alloc(result_type, 0);
    if (result) {
      ((HandleObject*)result)->handle = handle;
      unreleased = NULL;
      PyObject* callback = PyObject_GetAttr(record, str_callback);
      PyObject* returned = callback ? PyObject_CallOneArg(callback, result) : NULL;
      Py_XDECREF(returned);
      Py_XDECREF(callback);
      if (Py_REFCNT(result) == 1) {
        ((HandleObject*)result)->handle = NULL;
        unreleased = handle;
      }
      Py_DECREF(result);
    }
    Py_DECREF(record);
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(NULL);
  leave(&entry);
  if (unreleased) {
    VESSARUNTIME_ERROR_HANDLE error = release(unreleased);
    if (error) VESSARUNTIME_ReleaseError(error);
  }
}

static VESSARUNTIME_ERROR_HANDLE release_read_result(void* handle) {
  return VESSARUNTIME_ReleaseReadAccountResult(handle);
}
static VESSARUNTIME_ERROR_HANDLE release_auth_result(void* handle) {
  return VESSARUNTIME_ReleaseAuthResult(handle);
}

static void read_account_completion(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE result, void* context) {
  complete(&ReadResultType, result, context, release_read_result);
}
static void auth_completion(VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context) {
  complete(&AuthResultType, result, context, release_auth_result);
}

/* ---- operations -------------------------------------------------------------------------- */

/* The record: an instance of a plain class with `callback` and `id` in its __dict__, stored in
 * the storage found by name under its id. Returns the key (borrowed from the record). */
static PyObject* store_record(PyObject* storage, PyObject* callback, PyObject** record_out) {
  PyTypeObject* cls = (PyTypeObject*)record_class;
  PyObject* record = cls->tp_alloc(cls, 0);
  if (!record) return NULL;
  PyObject* id = PyLong_FromVoidPtr(record);
  if (!id || PyObject_SetAttr(record, str_callback, callback) < 0 ||
      PyObject_SetAttr(record, str_id, id) < 0 || PyDict_SetItem(storage, id, record) < 0) {
    Py_XDECREF(id);
    Py_DECREF(record);
    return NULL;
  }
  Py_DECREF(id);
  *record_out = record;
  return id; /* kept alive by the record and by the storage */
}

static PyObject* register_record(PyObject* callback, PyObject** record_out) {
  PyObject* storage = lookup(str_callbackStorage);
  return storage ? store_record(storage, callback, record_out) : NULL;
}

static int check_str(PyObject* o, const char* name) {
  if (PyUnicode_CheckExact(o)) return 1;
  PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type", name);
  return 0;
}

/* read_account_by_id(accountid, correlationId, py_callback) */
static PyObject* read_account_by_id(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  (void)module;
  if (nargs != 3) return PyErr_Format(PyExc_TypeError, "three arguments expected");
  if (!check_str(args[0], "accountid") || !check_str(args[1], "correlationId")) return NULL;
  if (args[2] == Py_None) return PyErr_Format(PyExc_TypeError, "py_callback must not be None");
  PyObject* record = NULL;
  PyObject* key = register_record(args[2], &record);
  if (!key) return NULL;
  Text account_id, correlation;
  PyObject* async_handle = NULL;
  if (to_units(args[0], &account_id) == 0) {
    if (to_units(args[1], &correlation) == 0) {
      async_handle = AsyncHandleType.tp_alloc(&AsyncHandleType, 0);
      if (async_handle) {
        VESSARUNTIME_ERROR_HANDLE error;
        VESSARUNTIME_ASYNC_HANDLE* slot =
            (VESSARUNTIME_ASYNC_HANDLE*)&((HandleObject*)async_handle)->handle;
        Py_BEGIN_ALLOW_THREADS error = VESSARUNTIME_ReadAccountByIdAsync(
            account_id.units, correlation.units, read_account_completion, key, slot);
        Py_END_ALLOW_THREADS if (error) {
          Py_CLEAR(async_handle);
          runtime_failure();
        }
      }
      free_units(&correlation);
    }
    free_units(&account_id);
  }
  Py_DECREF(record);
  return async_handle;
}

/* signin_silently(auth_params_handle, correlationId, py_callback): the parameters are an int
 * here; the extension reads them from its own object. */
static PyObject* signin_silently(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  (void)module;
  if (nargs != 3) return PyErr_Format(PyExc_TypeError, "three arguments expected");
  void* params = PyLong_AsVoidPtr(args[0]);
  if (!params && PyErr_Occurred()) return NULL;
  if (!check_str(args[1], "correlationId")) return NULL;
  if (args[2] == Py_None) return PyErr_Format(PyExc_TypeError, "py_callback must not be None");
  PyObject* record = NULL;
  PyObject* key = register_record(args[2], &record);
  if (!key) return NULL;
  Text correlation;
  PyObject* async_handle = NULL;
  if (to_units(args[1], &correlation) == 0) {
    async_handle = AsyncHandleType.tp_alloc(&AsyncHandleType, 0);
    if (async_handle) {
      VESSARUNTIME_ERROR_HANDLE error;
      VESSARUNTIME_ASYNC_HANDLE* slot =
          (VESSARUNTIME_ASYNC_HANDLE*)&((HandleObject*)async_handle)->handle;
      Py_BEGIN_ALLOW_THREADS error =
          VESSARUNTIME_SignInSilentlyAsync((VESSARUNTIME_AUTH_PARAMETERS_HANDLE)params,
                                           correlation.units, auth_completion, key, slot);
      Py_END_ALLOW_THREADS if (error) {
        Py_CLEAR(async_handle);
        runtime_failure();
      }
    }
    free_units(&correlation);
  }
  Py_DECREF(record);
  return async_handle;
}

/* signin_silently_given(auth_params, correlationId, py_callback): the leanest start that still
 * keeps the contract's bookkeeping. Its arguments are taken as given (the extension's own
 * parameters object, whose handle follows the object header, an exact str, a callable): no
 * checks, no parsing; the record class and the storage are held, not looked up by name. The
 * record, the text, the start without the lock, the async handle and the completion are those
 * of `signin_silently`. */
static PyObject* signin_silently_given(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  (void)module;
  (void)nargs;
  VESSARUNTIME_AUTH_PARAMETERS_HANDLE params = HANDLE(args[0], VESSARUNTIME_AUTH_PARAMETERS_HANDLE);
  PyObject* record = NULL;
  PyObject* key = store_record(held_storage, args[2], &record);
  if (!key) return NULL;
  Text correlation;
  PyObject* async_handle = NULL;
  if (to_units(args[1], &correlation) == 0) {
    async_handle = AsyncHandleType.tp_alloc(&AsyncHandleType, 0);
    if (async_handle) {
      VESSARUNTIME_ERROR_HANDLE error;
      VESSARUNTIME_ASYNC_HANDLE* slot =
          (VESSARUNTIME_ASYNC_HANDLE*)&((HandleObject*)async_handle)->handle;
      Py_BEGIN_ALLOW_THREADS error =
          VESSARUNTIME_SignInSilentlyAsync(params, correlation.units, auth_completion, key, slot);
      Py_END_ALLOW_THREADS if (error) {
        Py_CLEAR(async_handle);
        runtime_failure();
      }
    }
    free_units(&correlation);
  }
  Py_DECREF(record);
  return async_handle;
}

/* ---- log lines --------------------------------------------------------------------------- */

static void log_routine(const os_char* message, int32_t level, void* context) {
  Entry entry;
  if (!enter(&entry)) return;
  Py_ssize_t length = 0;
  while (length < 0x10000 && message[length]) ++length;
  int byteorder = -1;
  PyObject* text = PyUnicode_DecodeUTF16((const char*)message, length * 2, "replace", &byteorder);
  PyObject* storage = text ? lookup(str_callbackStorage) : NULL;
  PyObject* record = NULL;
  if (storage && PyDict_GetItemRef(storage, (PyObject*)context, &record) > 0) {
    PyObject* levels = lookup(str_LogLevel);
    if (levels == level_class && level >= 1 && level <= 6) {
      PyObject* callback = PyObject_GetAttr(record, str_callback);
      if (callback) {
        PyObject* call_args[] = {text, level_members[level]};
        PyObject* returned = PyObject_Vectorcall(callback, call_args, 2, NULL);
        Py_XDECREF(returned);
        Py_DECREF(callback);
      }
    } else if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ValueError, "not a level");
    }
    Py_DECREF(record);
  }
  Py_XDECREF(text);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(NULL);
  leave(&entry);
}

/* register_logging_callback(py_callback) -> int registration handle */
static PyObject* register_logging_callback(PyObject* module, PyObject* callback) {
  (void)module;
  PyObject* record = NULL;
  PyObject* key = register_record(callback, &record);
  if (!key) return NULL;
  VESSARUNTIME_LOG_CALLBACK_HANDLE handle = NULL;
  VESSARUNTIME_ERROR_HANDLE error;
  Py_BEGIN_ALLOW_THREADS error = VESSARUNTIME_RegisterLogCallback(log_routine, key, &handle);
  Py_END_ALLOW_THREADS Py_DECREF(record);
  if (error) return runtime_failure();
  return PyLong_FromVoidPtr(handle);
}

/* release_logging_callback(handle) */
static PyObject* release_logging_callback(PyObject* module, PyObject* handle) {
  (void)module;
  void* registration = PyLong_AsVoidPtr(handle);
  if (!registration && PyErr_Occurred()) return NULL;
  Py_BEGIN_ALLOW_THREADS VESSARUNTIME_ReleaseLogCallbackHandle(registration);
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

/* set_levels(enumeration): the enumeration found by name as `LogLevel` at each line, and its
 * members by value. */
static PyObject* set_levels(PyObject* module, PyObject* enumeration) {
  (void)module;
  for (int level = 1; level <= 6; ++level) {
    PyObject* member = PyObject_CallFunction(enumeration, "i", level);
    if (!member) return NULL;
    Py_XSETREF(level_members[level], member);
  }
  Py_XSETREF(level_class, Py_NewRef(enumeration));
  if (PyDict_SetItem(module_dict, str_LogLevel, enumeration) < 0) return NULL;
  Py_RETURN_NONE;
}

static PyMethodDef functions[] = {
    {"read_account_by_id", (PyCFunction)(void (*)(void))read_account_by_id, METH_FASTCALL, NULL},
    {"signin_silently", (PyCFunction)(void (*)(void))signin_silently, METH_FASTCALL, NULL},
    {"signin_silently_given", (PyCFunction)(void (*)(void))signin_silently_given, METH_FASTCALL,
     NULL},
    {"register_logging_callback", register_logging_callback, METH_O, NULL},
    {"release_logging_callback", release_logging_callback, METH_O, NULL},
    {"set_levels", set_levels, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_vessafloor", NULL, -1, functions, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__vessafloor(void) {
  PyTypeObject* types[] = {&AccountType, &ReadResultType, &AuthResultType, &AsyncHandleType};
  for (size_t i = 0; i < sizeof types / sizeof *types; ++i) {
    if (PyType_Ready(types[i]) < 0) return NULL;
  }
  PyObject* module = PyModule_Create(&definition);
  if (!module) return NULL;
  module_dict = PyModule_GetDict(module);
  str_callbackStorage = PyUnicode_InternFromString("_callbackStorage");
  str_callback = PyUnicode_InternFromString("callback");
  str_id = PyUnicode_InternFromString("id");
  str_LogLevel = PyUnicode_InternFromString("LogLevel");
  PyObject* storage = PyDict_New();
  record_class = PyObject_CallFunction((PyObject*)&PyType_Type, "s()N", "Record", PyDict_New());
  if (!str_callbackStorage || !str_callback || !str_id || !str_LogLevel || !storage ||
      !record_class || PyDict_SetItem(module_dict, str_callbackStorage, storage) < 0 ||
      PyModule_AddObjectRef(module, "Account", (PyObject*)&AccountType) < 0) {
    Py_XDECREF(storage);
    Py_DECREF(module);
    return NULL;
  }
  held_storage = storage; /* the module's namespace keeps it */
  Py_DECREF(storage);
  return module;
}
