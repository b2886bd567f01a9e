#pragma once

#include <cstdint>

namespace vela {
// A point in time as the inputs carry it: whole seconds and milliseconds. Neither normalised nor
// checked (ms may lie outside 0..999). (0, 0) stands for "not set".
struct timestamp {
  std::int64_t ts = 0;  // whole seconds
  std::int64_t ms = 0;  // milliseconds

  timestamp() = default;
  timestamp(std::int64_t _ts, std::int64_t _ms) : ts(_ts), ms(_ms) {}

  // Ordered by seconds, then milliseconds.
  bool operator<(const timestamp& _other) const {
    return ts < _other.ts || (ts == _other.ts && ms < _other.ms);
  }
  bool operator==(const timestamp& _other) const { return ts == _other.ts && ms == _other.ms; }
  bool operator<=(const timestamp& _other) const {
    return ts < _other.ts || (ts == _other.ts && ms <= _other.ms);
  }

  // Absolute difference in milliseconds. Differences wrap in 64-bit two's complement, so the one
  // difference of exactly 2^63 has no positive form and stays at the 64-bit minimum.
  static std::int64_t delta_ms(const timestamp& _t1, const timestamp& _t2);
  // Absolute difference in whole seconds, where only the millisecond difference is rounded
  // (through single precision, halves away from zero): (10, 600) to (11, 100) is 0 seconds.
  // Wraps like delta_ms.
  static std::int64_t delta_s(const timestamp& _t1, const timestamp& _t2);
};
}  // namespace vela
