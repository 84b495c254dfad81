#include "module/layer_access.hpp"

#include "async/python_entry.hpp"
#include "common/ref.hpp"
#include "handles/result_reader.hpp"
#include "module/owner.hpp"

namespace pvr {
namespace {

bool owner_ended() {
  return !owner::living(owner::life());
}

const LayerAccess kAccess{read_token, read_account, inside_runtime_routine, owner_ended};

}  // namespace

bool publish_layer_access() {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!dict) {
    PyErr_SetString(PyExc_ImportError, "the interpreter has no dictionary of its own");
    return false;
  }
  Ref capsule =
      Ref::steal(PyCapsule_New(const_cast<LayerAccess*>(&kAccess), kLayerAccessCapsule, nullptr));
  return capsule && PyDict_SetItemString(dict, kLayerAccessKey, capsule.get()) == 0;
}

}  // namespace pvr
