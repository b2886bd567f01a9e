#pragma once

#include <cmath>
#include <cstdint>

namespace vela {
// Planar distance in mm, rounded half away from zero. Computed in double precision, so extreme
// coordinates give a well-defined (if rounded) result.
inline std::int64_t planar_distance_mm(std::int32_t _x1, std::int32_t _y1, std::int32_t _x2,
                                       std::int32_t _y2) {
  // The differences are exact in 64 bits and in double; their squares may round, never overflow.
  const auto dx = static_cast<double>(std::int64_t{_x2} - _x1);
  const auto dy = static_cast<double>(std::int64_t{_y2} - _y1);
  const double d = std::sqrt(dx * dx + dy * dy);
  // Half away from zero, as std::round, without a library call: the truncation of d + 0.5 is one
  // too many only when that sum rounded up (d just below an integer plus a half).
  auto rounded = static_cast<std::int64_t>(d + 0.5);
  if (static_cast<double>(rounded) - d > 0.5) {
    --rounded;
  }
  return rounded;
}
}  // namespace vela
