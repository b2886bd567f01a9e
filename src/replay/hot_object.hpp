#pragma once

#include <cstdint>
#include <vector>

#include "object_types.hpp"

namespace vela {
// What the parts of a replay read of an object on every line, held once for all of them: the
// replay writes it, the event store and the pair candidates read it. 16 bytes, so that the
// rule of a pair finds all it needs of the other object in one place.
struct hot_object {
  std::int32_t x = 0;  // of its last position, mm
  std::int32_t y = 0;
  // The partner it names as the rules compare uids: its association partner, or without one
  // the object whose uid is the empty text (no_object when there is none).
  object_id named = no_object;
  bool positioned = false;
  bool driving = false;  // the driver side of an association
  bool person = false;
  bool has_no_alarm = false;  // its no-alarm list names anyone
};

using hot_objects = std::vector<hot_object>;
}  // namespace vela
