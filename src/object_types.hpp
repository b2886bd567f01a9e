#pragma once

#include <cstdint>
#include <limits>

namespace vela {
// What an object of the site is.
enum class category : std::int32_t { person = 0, vehicle = 1 };
// The side an object plays in a vehicle-driver association.
enum class vda_type : std::int32_t { driver = 0, vehicle = 1 };

// An object of the site by the rank of its uid, byte-wise; 0 is the smallest.
using object_id = std::uint32_t;
constexpr object_id no_object = std::numeric_limits<object_id>::max();
}  // namespace vela
