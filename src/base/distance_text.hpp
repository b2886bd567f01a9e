#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vela {
// A threshold in millimetres as a user types it after -d: optional leading white space, an
// optional '+', decimal digits and an optional "mm", nothing else, at most 4294967295. Empty for
// anything else: a unit other than mm ("2m"), a fraction ("2.5", "2,5"), a sign ("-2000") or a
// value past 32 bits would otherwise run at a threshold nobody asked for.
std::optional<std::uint32_t> parse_distance_mm(std::string_view _text);
}  // namespace vela
