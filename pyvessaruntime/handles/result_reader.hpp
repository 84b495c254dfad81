// Reading a result's values in one go, for the package's typed layer.
//
// The layer reads every getter of an auth result (and of its account) once, in a fixed order.
// The readers here make the same runtime queries in the same order with the same answers, but
// give the interpreter lock up once for all of them instead of once per query. The layer
// reaches them through the package's second extension module (module/layer_access.hpp).
#pragma once

#include "common/python.hpp"

namespace pvr {

// Each reader takes one object and returns a tuple of the getters' answers, in the layer's
// order, ending at the first answer after which the layer reads no more; the exception a
// getter would raise; or NotImplemented, before any query, when the getters themselves must be
// called (the object is not exactly the module's class, or `Response_Status` was rebound).
//
// - read_token(result): get_error, get_account, get_telemetry_data, get_raw_id_token,
//   get_access_token, get_authorization_header, get_access_token_expiry_time,
//   get_granted_scopes, get_id_token; then the account's thirteen properties as read_account
//   reads them; then is_pop_authorization. The reading ends at an error the result carries, at
//   a result without an account and at an account without an id.
// - read_account(account): get_account_id, get_home_account_id, get_environment, get_realm,
//   get_local_account_id, get_user_name, get_given_name, get_family_name, get_middle_name,
//   get_display_name, get_additional_fields_json, get_home_environment, get_client_info. The
//   reading ends at an account without an id (None or empty).
PyObject* read_token(PyObject* result);
PyObject* read_account(PyObject* account);

}  // namespace pvr
