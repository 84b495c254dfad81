// VESSARuntimeAccount: one account known to the runtime, read property by property.
//
// Nothing is cached: every getter asks the runtime at the moment of the call.
#include "handles/handle_object.hpp"
#include "marshal/string_getter.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

template <StringGetter<VESSARUNTIME_ACCOUNT_HANDLE> Getter>
PyObject* read_property(PyObject* self, PyObject* const*) {
  return get_string(Getter, handle_of<VESSARUNTIME_ACCOUNT_HANDLE>(self));
}

#define PVR_ACCOUNT_GETTER(method, operation)                                      \
  {                                                                                \
    #method, read_property<operation>, "VESSARuntimeAccount." #method "(self)", {} \
  }

const FunctionDef kAccountMethods[] = {
    PVR_ACCOUNT_GETTER(get_account_id, VESSARUNTIME_GetAccountId),
    PVR_ACCOUNT_GETTER(get_home_account_id, VESSARUNTIME_GetHomeAccountId),
    PVR_ACCOUNT_GETTER(get_environment, VESSARUNTIME_GetEnvironment),
    PVR_ACCOUNT_GETTER(get_realm, VESSARUNTIME_GetRealm),
    PVR_ACCOUNT_GETTER(get_local_account_id, VESSARUNTIME_GetLocalAccountId),
    PVR_ACCOUNT_GETTER(get_user_name, VESSARUNTIME_GetUserName),
    PVR_ACCOUNT_GETTER(get_given_name, VESSARUNTIME_GetGivenName),
    PVR_ACCOUNT_GETTER(get_family_name, VESSARUNTIME_GetFamilyName),
    PVR_ACCOUNT_GETTER(get_middle_name, VESSARUNTIME_GetMiddleName),
    PVR_ACCOUNT_GETTER(get_display_name, VESSARUNTIME_GetDisplayName),
    PVR_ACCOUNT_GETTER(get_additional_fields_json, VESSARUNTIME_GetAdditionalFieldsJson),
    PVR_ACCOUNT_GETTER(get_home_environment, VESSARUNTIME_GetHomeEnvironment),
    PVR_ACCOUNT_GETTER(get_client_info, VESSARUNTIME_GetClientInfo),
};

#undef PVR_ACCOUNT_GETTER

}  // namespace

PyTypeObject AccountType = make_class(
    PVR_CLASS_NAME("VESSARuntimeAccount"), sizeof(HandleObject<VESSARUNTIME_ACCOUNT_HANDLE>),
    new_from_raw_handle<VESSARUNTIME_ACCOUNT_HANDLE>,
    dealloc_releasing<VESSARUNTIME_ACCOUNT_HANDLE, VESSARUNTIME_ReleaseAccount>,
    PVR_RAW_HANDLE_DOC("VESSARuntimeAccount"));

const FunctionTable account_methods = kAccountMethods;

}  // namespace pvr
