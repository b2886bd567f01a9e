#include "timestamp.hpp"

#include <cmath>

namespace vela {
namespace {
// Differences of extreme timestamps overflow 64 bits; they wrap in two's complement instead of
// being undefined. Unsigned arithmetic wraps by definition, and the conversion back is modular.
std::int64_t wrapping_sub(std::int64_t _a, std::int64_t _b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(_a) - static_cast<std::uint64_t>(_b));
}
std::int64_t wrapping_add(std::int64_t _a, std::int64_t _b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(_a) + static_cast<std::uint64_t>(_b));
}
std::int64_t wrapping_mul(std::int64_t _a, std::int64_t _b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(_a) * static_cast<std::uint64_t>(_b));
}
std::int64_t wrapping_abs(std::int64_t _value) {
  return _value < 0 ? wrapping_sub(0, _value) : _value;
}
}  // namespace

std::int64_t timestamp::delta_ms(const timestamp& _t1, const timestamp& _t2) {
  const std::int64_t d =
      wrapping_add(wrapping_mul(wrapping_sub(_t2.ts, _t1.ts), 1000), wrapping_sub(_t2.ms, _t1.ms));
  return wrapping_abs(d);
}

std::int64_t timestamp::delta_s(const timestamp& _t1, const timestamp& _t2) {
  const std::int64_t m = wrapping_sub(_t2.ms, _t1.ms);
  // The single-precision step is part of the rule: it decides the rounding of large differences.
  const double seconds = static_cast<double>(static_cast<float>(m)) / 1000.0;
  // |seconds| <= 2^63 / 1000, so the rounded value always fits.
  const auto rounded = static_cast<std::int64_t>(std::round(seconds));
  return wrapping_abs(wrapping_add(wrapping_sub(_t2.ts, _t1.ts), rounded));
}
}  // namespace vela
