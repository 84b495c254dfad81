// VESSARuntimeAuthParameters: the description of one authentication request.
#include "handles/handle_object.hpp"
#include "module/registry.hpp"

namespace pvr {
namespace {

PyTypeObject make_auth_parameters_type() {
  PyTypeObject type = make_class(
      PVR_CLASS_NAME("VESSARuntimeAuthParameters"),
      sizeof(HandleObject<VESSARUNTIME_AUTH_PARAMETERS_HANDLE>), new_empty,
      dealloc_releasing<VESSARUNTIME_AUTH_PARAMETERS_HANDLE, VESSARUNTIME_ReleaseAuthParameters>);
  type.tp_doc = "VESSARuntimeAuthParameters(str clientid, str authority)";
  return type;
}

}  // namespace

PyTypeObject AuthParametersType = make_auth_parameters_type();

const FunctionTable auth_parameters_methods;

}  // namespace pvr
