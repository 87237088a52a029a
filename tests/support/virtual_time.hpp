// Virtual time in the unit the tests write it in.
#pragma once

#include "platform/hosted/devices.hpp"

namespace touch_test {

inline constexpr hosted::Micros kMs = hosted::kMicrosPerMilli;

}  // namespace touch_test
