// Log-routine registrations.
#pragma once

#include "registry.hpp"

namespace vessaemu {

struct LogCallbackObject : Object {
  static constexpr Kind kKind = Kind::LogCallback;
  LogCallbackObject(VESSARUNTIME_LOG_ROUTINE r, void* c) : routine(r), context(c) {}
  const VESSARUNTIME_LOG_ROUTINE routine;
  void* const context;
};

}  // namespace vessaemu
