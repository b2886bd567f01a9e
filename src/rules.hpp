#pragma once

#include <algorithm>
#include <cstdint>

#include "timestamp.hpp"

namespace vela {
// The rules of a run in numbers, written once: the replay, the reference, the explanation and the
// check all ask this value, so that a rule changed here is changed everywhere.
struct run_rules {
  // Half the width of the hysteresis band around the threshold.
  static constexpr std::int64_t band_mm = 175;
  // An event on an object's first position is not written when that object's association with
  // the other ended less than this before.
  static constexpr std::int64_t recent_association_s = 300;

  std::uint32_t threshold_mm = 0;

  // A contact: the distance opens an event, or keeps one open.
  bool contact(std::int64_t _distance_mm) const { return _distance_mm <= threshold_mm; }
  // Strictly inside the band, where a desensitized pair changes nothing.
  bool in_band(std::int64_t _distance_mm) const {
    return band_bottom_mm() < _distance_mm && _distance_mm < band_top_mm();
  }
  // At or below this a desensitized pair opens its next event, at or above this it closes one.
  std::int64_t band_bottom_mm() const { return std::int64_t{threshold_mm} - band_mm; }
  std::int64_t band_top_mm() const { return std::int64_t{threshold_mm} + band_mm; }
  // Whether an association that ended at _ended is still recent at _now.
  static bool recent(const timestamp& _ended, const timestamp& _now) {
    return timestamp::delta_s(_ended, _now) < recent_association_s;
  }
  // The duration of an event closed by a line: at least a second.
  static std::int64_t closed_duration_s(const timestamp& _start, const timestamp& _end) {
    return std::max<std::int64_t>(timestamp::delta_s(_start, _end), 1);
  }
  // The duration of an event still open after the last line: up to the latest time, possibly 0.
  static std::int64_t open_duration_s(const timestamp& _start, const timestamp& _latest) {
    return timestamp::delta_s(_start, _latest);
  }
};
}  // namespace vela
