#pragma once

#include <array>
#include <cstdint>

#include "object_types.hpp"
#include "timestamp.hpp"

namespace vela {
// A near-miss as the replay keeps it until it is written: its objects by id, 64 bytes.
struct event_record {
  enum class state : std::uint8_t { open, closed, skipped };

  vela::timestamp timestamp;           // start: the time of the line that created it
  std::int64_t duration = 0;           // whole seconds; 0 while open
  std::uint32_t distance = 0;          // the smallest distance seen, mm
  std::array<object_id, 2> objects{};  // [0]: the object whose line created it
  std::array<object_id, 2> drivers{no_object, no_object};  // of a vehicle that had one then
  std::array<std::int32_t, 2> x{};                         // positions at the start, mm
  std::array<std::int32_t, 2> y{};
  state m_state = state::open;
};
}  // namespace vela
