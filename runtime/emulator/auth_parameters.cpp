// CreateAuthParameters, the six setters and ReleaseAuthParameters.
#include "auth_parameters.hpp"

#include "call.hpp"

namespace vessaemu {

const char* auth_field_name(AuthField field) {
  static constexpr const char* kNames[kAuthFieldCount] = {
      "client_id",       "authority",    "scopes",
      "redirect_uri",    "claims",       "access_token_to_renew",
      "pop_http_method", "pop_uri_host", "pop_uri_path",
      "pop_nonce"};
  return kNames[static_cast<int>(field)];
}

namespace {

// The common body of the one-text setters.
VESSARUNTIME_ERROR_HANDLE set_field(Op op, AuthField field,
                                    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters,
                                    const os_char* text, const char* name) {
  return guarded(op, [&](Call& call) {
    auto object = call.object<AuthParametersObject>(authParameters);
    if (!object || !call.text(text, name)) return call.error();
    std::u16string units = units_of(text);
    std::lock_guard lock(object->mutex);
    object->data.fields[static_cast<int>(field)] = std::move(units);
    return kOk;
  });
}

}  // namespace
}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_CreateAuthParameters(const os_char* clientId, const os_char* authority,
                                  VESSARUNTIME_AUTH_PARAMETERS_HANDLE* authParameters) {
  return guarded(Op::CreateAuthParameters, [&](Call& call) {
    if (!call.text(clientId, "clientId") || !call.text(authority, "authority") ||
        !call.out(authParameters, "authParameters")) {
      return call.error();
    }
    auto object = make_ref<AuthParametersObject>();
    object->data.fields[static_cast<int>(AuthField::ClientId)] = units_of(clientId);
    object->data.fields[static_cast<int>(AuthField::Authority)] = units_of(authority);
    *authParameters = as_handle<VESSARUNTIME_AUTH_PARAMETERS_HANDLE>(
        register_object(call.state().registry, Kind::AuthParameters, std::move(object)));
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetRequestedScopes(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* scopes) {
  return set_field(Op::SetRequestedScopes, AuthField::Scopes, authParameters, scopes, "scopes");
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetRedirectUri(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* redirectUri) {
  return set_field(Op::SetRedirectUri, AuthField::RedirectUri, authParameters, redirectUri,
                   "redirectUri");
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetDecodedClaims(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* claims) {
  return set_field(Op::SetDecodedClaims, AuthField::Claims, authParameters, claims, "claims");
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetAccessTokenToRenew(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* accessTokenToRenew) {
  return set_field(Op::SetAccessTokenToRenew, AuthField::AccessTokenToRenew, authParameters,
                   accessTokenToRenew, "accessTokenToRenew");
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetPopParams(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* httpMethod,
    const os_char* uriHost, const os_char* uriPath, const os_char* nonce) {
  return guarded(Op::SetPopParams, [&](Call& call) {
    auto object = call.object<AuthParametersObject>(authParameters);
    if (!object || !call.text(httpMethod, "httpMethod") || !call.text(uriHost, "uriHost") ||
        !call.text(uriPath, "uriPath") || !call.text(nonce, "nonce")) {
      return call.error();
    }
    std::u16string method = units_of(httpMethod), host = units_of(uriHost),
                   path = units_of(uriPath), once = units_of(nonce);
    std::lock_guard lock(object->mutex);
    auto& f = object->data.fields;
    f[static_cast<int>(AuthField::PopHttpMethod)] = std::move(method);
    f[static_cast<int>(AuthField::PopUriHost)] = std::move(host);
    f[static_cast<int>(AuthField::PopUriPath)] = std::move(path);
    f[static_cast<int>(AuthField::PopNonce)] = std::move(once);
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_SetAdditionalParameter(
    VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters, const os_char* key, const os_char* value) {
  return guarded(Op::SetAdditionalParameter, [&](Call& call) {
    auto object = call.object<AuthParametersObject>(authParameters);
    if (!object || !call.text(key, "key") || !call.text(value, "value")) return call.error();
    std::pair<std::u16string, std::u16string> pair{units_of(key), units_of(value)};
    std::lock_guard lock(object->mutex);
    object->data.additional.push_back(std::move(pair));
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseAuthParameters(VESSARUNTIME_AUTH_PARAMETERS_HANDLE authParameters) {
  return release<AuthParametersObject>(Op::ReleaseAuthParameters, authParameters);
}

}  // extern "C"
