#include "timestamp.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace vela {
namespace {
constexpr std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t two_62 = std::int64_t{1} << 62;
// Expected wrapped results are derived on 64-bit patterns, where overflow is defined.
constexpr std::uint64_t bits(std::int64_t _value) { return static_cast<std::uint64_t>(_value); }
constexpr std::int64_t wrapped(std::uint64_t _bits) { return static_cast<std::int64_t>(_bits); }

TEST(TimestampTest, OrdersBySecondsThenMilliseconds) {
  const struct {
    timestamp a, b;
    bool less, less_equal, equal;
  } rows[] = {
      {{5, 7}, {5, 7}, false, true, true},     {{4, 999}, {5, 0}, true, true, false},
      {{5, 0}, {4, 999}, false, false, false}, {{5, 6}, {5, 7}, true, true, false},
      {{5, 8}, {5, 7}, false, false, false},   {{-1, 5000}, {0, -5}, true, true, false},
      {{}, {0, 0}, false, true, true},         {{min64, 0}, {max64, 0}, true, true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);  // the row number
    EXPECT_EQ(row.a < row.b, row.less);
    EXPECT_EQ(row.a <= row.b, row.less_equal);
    EXPECT_EQ(row.a == row.b, row.equal);
  }
}

TEST(TimestampTest, DeltasAreSymmetricAndRoundOnlyTheMillisecondPart) {
  const struct {
    timestamp a, b;
    std::int64_t ms, s;
  } rows[] = {
      {{10, 0}, {11, 499}, 1499, 1},
      {{10, 0}, {11, 500}, 1500, 2},
      {{10, 600}, {11, 100}, 500, 0},  // -500 ms rounds to -1 s
      {{10, 500}, {10, 0}, 500, 1},
      {{100, 0}, {99, 999}, 1, 0},
      {{0, 0}, {0, 2500}, 2500, 3},  // away from zero, not to even
      {{10, 0}, {9, 2500}, 1500, 2},
      {{7, 5000}, {7, 5000}, 0, 0},
      // Odd and above 2^24: single precision makes it 16777500 (ties to even), so 16777.5
      // rounds up where the exact 16777.499 would round down.
      {{0, 0}, {0, 16777499}, 16777499, 16778},
      // Extremes wrap: max - min is -1.
      {{min64, 0}, {max64, 0}, -wrapped((bits(max64) - bits(min64)) * 1000), 1},
      {{0, min64}, {0, max64}, 1, 0},
      {{0, 0}, {two_62, 0}, wrapped(bits(two_62) * 1000), two_62},  // 2^62 * 1000 wraps to 0
      // max + 2 wraps to min + 1, whose magnitude is max.
      {{0, 0}, {max64, 1500}, wrapped(bits(max64) * 1000 + 1500), max64},
      // float(2^63 - 1) is 2^63; 2^63 / 1000 = 9223372036854775.808 is ...776 in double.
      {{0, 0}, {0, max64}, max64, 9223372036854776},
      {{0, 0}, {0, min64 + 1}, max64, 9223372036854776},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);  // the row number
    EXPECT_EQ(timestamp::delta_ms(row.a, row.b), row.ms);
    EXPECT_EQ(timestamp::delta_ms(row.b, row.a), row.ms);
    EXPECT_EQ(timestamp::delta_s(row.a, row.b), row.s);
    EXPECT_EQ(timestamp::delta_s(row.b, row.a), row.s);
  }
}
}  // namespace
}  // namespace vela
