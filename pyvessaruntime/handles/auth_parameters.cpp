// VESSARuntimeAuthParameters: the description of one authentication request.
//
// The object keeps nothing on the Python side: each setter hands its text to the runtime at once.
// Every text gets a RuntimeText of its own; all of an operation's texts are converted before
// the interpreter lock is released, and the holders outlive the runtime call, which copies
// whatever it keeps.
#include "handles/auth_parameters.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "marshal/runtime_text.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using Handle = VESSARUNTIME_AUTH_PARAMETERS_HANDLE;
using OwnedParameters = OwnedHandle<Handle, VESSARUNTIME_ReleaseAuthParameters>;

// Fields read and written inside the object's critical section only.
struct AuthParametersObject {
  PyObject_HEAD Handle handle;
  Py_ssize_t loans;              // runtime calls in progress with a handle of this object
  std::vector<Handle>* retired;  // handles replaced during loans; null while there are none
};

AuthParametersObject* as_params(PyObject* self) {
  return reinterpret_cast<AuthParametersObject*>(self);
}

// Handles the object no longer uses, released when this goes: after the critical section in
// which they were taken out (without allocating, so nothing can throw inside it), since a
// release gives the thread's hold on the interpreter up.
class Releasing {
 public:
  OwnedParameters handle;
  // The retired handles, once no loan is left.
  void take_retired(AuthParametersObject* params) {
    if (params->loans == 0 && params->retired) retired_.swap(*params->retired);
  }
  ~Releasing() noexcept(false) {
    for (Handle each : retired_) OwnedParameters last(each);
  }

 private:
  std::vector<Handle> retired_;
};

// Takes `handle` (may be null) out of use: to `releasing` if nothing uses the object's handles,
// else kept until the last loan ends. Inside the object's critical section.
void retire(AuthParametersObject* params, Handle handle, Releasing& releasing) {
  if (!handle) return;
  if (params->loans == 0) {
    releasing.handle = OwnedParameters(handle);
    return;
  }
  try {
    if (!params->retired) params->retired = new std::vector<Handle>();
    params->retired->push_back(handle);
  } catch (const std::bad_alloc&) {
    // Nowhere to keep it, and releasing it while a call may use it must never happen: it is
    // left to the runtime.
  }
}

// Puts `handle` (may be null) in the object's place and retires the one there.
void replace_handle(PyObject* self, Handle handle) {
  AuthParametersObject* params = as_params(self);
  Releasing releasing;
  Py_BEGIN_CRITICAL_SECTION(self);
  retire(params, std::exchange(params->handle, handle), releasing);
  Py_END_CRITICAL_SECTION();
}

template <class... Text>
using TextSetter = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(Handle, Text...);

// The runtime texts of one operation, converted in order.
template <std::size_t N>
class Texts {
 public:
  // False with a Python exception if a conversion fails; the runtime is then not called.
  bool convert(const std::array<PyObject*, N>& values) {
    for (std::size_t i = 0; i < N; ++i) {
      coerced_[i] = encoded_[i].convert(values[i]);
      if (!coerced_[i]) return false;
    }
    return true;
  }
  const std::array<const os_char*, N>& coerced() const { return coerced_; }

 private:
  std::array<RuntimeText, N> encoded_;
  std::array<const os_char*, N> coerced_{};
};

// Converts `values`, then calls `operation` with the object's handle and the texts without the
// interpreter lock, and checks the error handle it returns.
template <class... Text>
PyObject* send_texts(PyObject* self, TextSetter<Text...> operation,
                     const std::array<PyObject*, sizeof...(Text)>& values) {
  Texts<sizeof...(Text)> texts;
  if (!texts.convert(values)) return nullptr;
  AuthParametersLoan loan(self);
  Handle handle = loan.get();
  VESSARUNTIME_ERROR_HANDLE vrt_error = without_gil([&] {
    return std::apply([&](auto... coerced) { return operation(handle, coerced...); },
                      texts.coerced());
  });
  if (!check_error(vrt_error)) return nullptr;
  Py_RETURN_NONE;
}

// A parameter name usable as a template argument.
template <std::size_t N>
struct ParameterName {
  char text[N];
  constexpr ParameterName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// The setters of one str parameter, sent as it is.
template <TextSetter<const os_char*> Operation, ParameterName Name>
PyObject* set_text(PyObject* self, PyObject* const* args) {
  if (!args::exact_str(args[0], Name.text)) return nullptr;
  return send_texts(self, Operation, {args[0]});
}

// VESSARuntimeAuthParameters.set_requested_scopes(self, scopes): the scopes joined by single
// spaces, as str.join does it; an empty list sends the empty text.
PyObject* set_requested_scopes(PyObject* self, PyObject* const* args) {
  PyObject* scopes = args[0];
  if (!args::not_none(scopes, "scopes")) return nullptr;
  if (!PyList_Check(scopes)) {
    PyErr_SetString(PyExc_TypeError, "scopes must be an list type");
    return nullptr;
  }
  Ref separator = Ref::steal(PyUnicode_FromOrdinal(' '));
  if (!separator) return nullptr;
  Ref scopes_list_string = Ref::steal(PyUnicode_Join(separator.get(), scopes));
  if (!scopes_list_string) return nullptr;
  return send_texts(self, VESSARUNTIME_SetRequestedScopes, {scopes_list_string.get()});
}

// VESSARuntimeAuthParameters.set_pop_params(self, str http_method, str uri_host, str uri_path,
// str nonce): a path or nonce that is None reaches the runtime as an empty text, never as null.
PyObject* set_pop_params(PyObject* self, PyObject* const* args) {
  PyObject* http_method = args[0];
  PyObject* uri_host = args[1];
  PyObject* uri_path = args[2];
  PyObject* nonce = args[3];
  if (!args::exact_str(http_method, "http_method") || !args::exact_str(uri_host, "uri_host") ||
      !args::exact_str(uri_path, "uri_path", true) || !args::exact_str(nonce, "nonce", true))
    return nullptr;
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  if (!empty) return nullptr;
  if (uri_path == Py_None) uri_path = empty.get();
  if (nonce == Py_None) nonce = empty.get();
  return send_texts(self, VESSARUNTIME_SetPopParams, {http_method, uri_host, uri_path, nonce});
}

// VESSARuntimeAuthParameters.set_additional_parameter(self, str key, str value)
PyObject* set_additional_parameter(PyObject* self, PyObject* const* args) {
  if (!args::exact_str(args[0], "key") || !args::exact_str(args[1], "value")) return nullptr;
  return send_texts(self, VESSARUNTIME_SetAdditionalParameter, {args[0], args[1]});
}

// VESSARuntimeAuthParameters(str clientid, str authority)
int init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"clientid", "authority", nullptr};
  PyObject* clientid = nullptr;
  PyObject* authority = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:VESSARuntimeAuthParameters",
                                   const_cast<char**>(keywords), &clientid, &authority) ||
      !args::exact_str(clientid, "clientid") || !args::exact_str(authority, "authority"))
    return -1;
  // Calling __init__ again on an initialised object builds a new request. The earlier handle
  // leaves the object at once and is retired: a call on another thread may still be inside the
  // runtime with it.
  replace_handle(self, nullptr);
  Texts<2> texts;
  if (!texts.convert({clientid, authority})) return -1;
  const auto& [coerced_clientid, coerced_authority] = texts.coerced();
  // The runtime stores the new handle into a local owner, and it enters the object under the
  // lock: a handle another rebuild put there meanwhile is retired, never lost. Whatever the
  // runtime stored, even on failure, is this object's to release.
  OwnedParameters fresh;
  VESSARUNTIME_ERROR_HANDLE vrt_error = without_gil([&] {
    return VESSARUNTIME_CreateAuthParameters(coerced_clientid, coerced_authority, fresh.out());
  });
  replace_handle(self, fresh.release());
  return check_error(vrt_error) ? 0 : -1;
}

const FunctionDef kAuthParametersMethods[] = {
    {"set_requested_scopes",
     set_requested_scopes,
     "VESSARuntimeAuthParameters.set_requested_scopes(self, scopes)",
     {"scopes"}},
    {"set_redirect_uri",
     set_text<VESSARUNTIME_SetRedirectUri, "redirect_uri">,
     "VESSARuntimeAuthParameters.set_redirect_uri(self, str redirect_uri)",
     {"redirect_uri"}},
    {"set_decoded_claims",
     set_text<VESSARUNTIME_SetDecodedClaims, "claims">,
     "VESSARuntimeAuthParameters.set_decoded_claims(self, str claims)",
     {"claims"}},
    {"set_access_token_to_renew",
     set_text<VESSARUNTIME_SetAccessTokenToRenew, "access_token_to_renew">,
     "VESSARuntimeAuthParameters.set_access_token_to_renew(self, str access_token_to_renew)",
     {"access_token_to_renew"}},
    {"set_pop_params",
     set_pop_params,
     "VESSARuntimeAuthParameters.set_pop_params(self, str http_method, str uri_host, str "
     "uri_path, str nonce)",
     {"http_method", "uri_host", "uri_path", "nonce"}},
    {"set_additional_parameter",
     set_additional_parameter,
     "VESSARuntimeAuthParameters.set_additional_parameter(self, str key, str value)",
     {"key", "value"}},
};

// No loan outlives its object (a loan keeps the object alive), so every handle goes here.
void dealloc(PyObject* self) {
  AuthParametersObject* params = as_params(self);
  {
    PendingExceptionGuard guard;
    Releasing releasing;
    releasing.handle = OwnedParameters(std::exchange(params->handle, nullptr));
    releasing.take_retired(params);
  }
  delete params->retired;
  Py_TYPE(self)->tp_free(self);
}

PyTypeObject make_auth_parameters_type() {
  PyTypeObject type = make_class(PVR_CLASS_NAME("VESSARuntimeAuthParameters"),
                                 sizeof(AuthParametersObject), new_empty, dealloc,
                                 // The text signature before "--" is for introspection; `__doc__`
                                 // is the line after it.
                                 "VESSARuntimeAuthParameters(clientid, authority)\n--\n\n"
                                 "VESSARuntimeAuthParameters(str clientid, str authority)");
  type.tp_init = init;
  return type;
}

}  // namespace

PyTypeObject AuthParametersType = make_auth_parameters_type();

AuthParametersLoan::AuthParametersLoan(PyObject* params)
    : params_(Ref::borrow(params)), handle_(nullptr) {
  Py_BEGIN_CRITICAL_SECTION(params);
  handle_ = as_params(params)->handle;
  ++as_params(params)->loans;
  Py_END_CRITICAL_SECTION();
}

AuthParametersLoan::~AuthParametersLoan() noexcept(false) {
  // A thread the interpreter is ending leaves the count as it is: nothing runs Python again.
  if (!holds_python()) return;
  PyObject* self = params_.get();
  Releasing releasing;
  Py_BEGIN_CRITICAL_SECTION(self);
  --as_params(self)->loans;
  releasing.take_retired(as_params(self));
  Py_END_CRITICAL_SECTION();
}

const FunctionTable auth_parameters_methods = kAuthParametersMethods;

}  // namespace pvr
