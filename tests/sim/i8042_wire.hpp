// The i8042's ports at the board's base, and the time one byte takes on the
// PS/2 wire at the default clock (11 bits at 12 kHz, rounded).
#pragma once

#include <cstdint>

#include "platform/hosted/devices.hpp"

namespace simtest {

inline constexpr std::uint16_t kData = 0x60;
inline constexpr std::uint16_t kStatus = 0x64;
inline constexpr hosted::Micros kByte = 917;

}  // namespace simtest
