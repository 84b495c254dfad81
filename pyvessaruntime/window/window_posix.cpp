// Window-handle helpers where there is no Windows window system.
#include "module/registry.hpp"

namespace pvr {

const FunctionTable window_functions;

}  // namespace pvr
