// The two-call protocol of every string getter, and the switches that make it misbehave on purpose.
#include "string_protocol.hpp"

#include <cstdio>
#include <limits>

#include "settings.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

VESSARUNTIME_ERROR_HANDLE insufficient(Call& call, int32_t needed) {
  char text[160];
  std::snprintf(text, sizeof text, "%s: a buffer of %d units is needed", full_name(call.op()),
                static_cast<int>(needed));
  return new_error(call.state().registry, ErrorInfo{kStatusInsufficientBuffer, 0, 0, widen(text)});
}

}  // namespace

VESSARUNTIME_ERROR_HANDLE write_text(Call& call, const Text& value, os_char* buffer,
                                     int32_t* bufferSize) {
  if (!call.out(bufferSize, "bufferSize")) return call.error();
  if (!value) {
    *bufferSize = 0;
    return kOk;
  }
  if (value->size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return unexpected(call.state().registry, call.op(), "text too long for a 32-bit size");
  }
  const int32_t needed = static_cast<int32_t>(value->size()) + 1;
  const Settings& s = call.state().settings;
  if (buffer == nullptr) {
    *bufferSize = s.negative_size.load() ? -needed : needed;
    return s.first_call_error.load() ? insufficient(call, needed) : kOk;
  }
  const int32_t capacity = *bufferSize;
  if (capacity < needed) {
    *bufferSize = needed;
    return insufficient(call, needed);
  }
  auto* out = reinterpret_cast<char16_t*>(buffer);
  value->copy(out, value->size());
  out[value->size()] = 0;
  const int64_t reported = static_cast<int64_t>(needed) + s.grow_by.load();
  *bufferSize = reported > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                               : static_cast<int32_t>(reported);
  return kOk;
}

}  // namespace vessaemu
