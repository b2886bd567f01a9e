#pragma once

#include <cstdint>

#include "object_types.hpp"
#include "timestamp.hpp"

namespace vela {
// One position line of an object of the site, as the replay takes it.
struct fed_line {
  vela::timestamp timestamp;
  std::int32_t x = 0;  // mm
  std::int32_t y = 0;
  object_id id = no_object;
};
}  // namespace vela
