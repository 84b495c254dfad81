// VESSARuntimeAuthResult: the outcome of a sign-in or token operation.
//
// Nothing is cached: every getter asks the runtime at the moment of the call, and the account
// and error objects it hands out own handles of their own.
#include <cstdint>

#include "handles/handle_object.hpp"
#include "handles/result_getters.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

using Handle = VESSARUNTIME_AUTH_RESULT_HANDLE;

// VESSARuntimeAuthResult.get_granted_scopes(self)
PyObject* get_granted_scopes(PyObject* self, PyObject* const*) {
  Ref text = Ref::steal(get_string(VESSARUNTIME_GetGrantedScopes, handle_of<Handle>(self)));
  if (!text) return nullptr;
  return granted_scopes_value(text.get());
}

// VESSARuntimeAuthResult.is_pop_authorization(self): the runtime's value as an int, not a bool.
PyObject* is_pop_authorization(PyObject* self, PyObject* const*) {
  int32_t vrt_is_pop_auth = 0;
  if (!query_value(VESSARUNTIME_IsPopAuthorization, handle_of<Handle>(self), &vrt_is_pop_auth))
    return nullptr;
  return PyLong_FromLong(vrt_is_pop_auth);
}

// VESSARuntimeAuthResult.get_access_token_expiry_time(self)
PyObject* get_access_token_expiry_time(PyObject* self, PyObject* const*) {
  int64_t expiry_time = 0;
  if (!query_value(VESSARUNTIME_GetAccessTokenExpiryTime, handle_of<Handle>(self), &expiry_time))
    return nullptr;
  return expiry_time_value(expiry_time);
}

#define PVR_DOC(method) "VESSARuntimeAuthResult." #method "(self)"

const FunctionDef kAuthResultMethods[] = {
    {"get_account", get_account<Handle, VESSARUNTIME_GetAccount>, PVR_DOC(get_account), {}},
    {"get_id_token", read_text<Handle, VESSARUNTIME_GetIdToken>, PVR_DOC(get_id_token), {}},
    {"get_raw_id_token",
     read_text<Handle, VESSARUNTIME_GetRawIdToken>,
     PVR_DOC(get_raw_id_token),
     {}},
    {"get_access_token",
     read_text<Handle, VESSARUNTIME_GetAccessToken>,
     PVR_DOC(get_access_token),
     {}},
    {"get_granted_scopes", get_granted_scopes, PVR_DOC(get_granted_scopes), {}},
    {"get_authorization_header",
     read_text<Handle, VESSARUNTIME_GetAuthorizationHeader>,
     PVR_DOC(get_authorization_header),
     {}},
    {"is_pop_authorization", is_pop_authorization, PVR_DOC(is_pop_authorization), {}},
    {"get_access_token_expiry_time",
     get_access_token_expiry_time,
     PVR_DOC(get_access_token_expiry_time),
     {}},
    {"get_error", get_error<Handle, VESSARUNTIME_GetError>, PVR_DOC(get_error), {}},
    {"get_telemetry_data",
     get_telemetry_data<Handle, VESSARUNTIME_GetTelemetryData, NoTelemetry::kEmptyDict>,
     PVR_DOC(get_telemetry_data),
     {}},
};

#undef PVR_DOC

}  // namespace

PyTypeObject AuthResultType = make_class(PVR_CLASS_NAME("VESSARuntimeAuthResult"),
                                         sizeof(HandleObject<Handle>), new_from_raw_handle<Handle>,
                                         dealloc_releasing<Handle, VESSARUNTIME_ReleaseAuthResult>,
                                         PVR_RAW_HANDLE_DOC("VESSARuntimeAuthResult"));

const FunctionTable auth_result_methods = kAuthResultMethods;

// The scope text, stripped and cut at every single space; None when there is no text or it is
// empty.
PyObject* granted_scopes_value(PyObject* text) {
  if (text == Py_None || PyUnicode_GET_LENGTH(text) == 0) Py_RETURN_NONE;
  Ref stripped = Ref::steal(PyObject_CallMethod(text, "strip", nullptr));
  if (!stripped) return nullptr;
  Ref space = Ref::steal(PyUnicode_FromOrdinal(' '));
  if (!space) return nullptr;
  return PyUnicode_Split(stripped.get(), space.get(), -1);
}

// The runtime may store 32 or 64 bits into the zeroed slot; the low 32 bits, read as signed, are
// the answer either way.
PyObject* expiry_time_value(int64_t stored) {
  return PyLong_FromLong(static_cast<int32_t>(static_cast<uint32_t>(stored)));
}

}  // namespace pvr
