#pragma once

#include <cstdint>

#include "object_types.hpp"
#include "recording/fed_line.hpp"
#include "timestamp.hpp"

namespace vela {
// What the replay decides about a watched pair, and why, told at the moment it decides.
enum class pair_decision : std::uint8_t {
  opened,              // a contact: an event opens, to be written
  opened_unwritten,    // a contact on an object's first position, less than five minutes after
                       // its association with the other ended: the event is never written
  opened_by_driver,    // the driver rule holds: an event that is never written, not a near miss
  came_closer,         // the open event's smallest distance comes down
  closed,              // beyond the threshold, or beyond its band once desensitized
  marked_for_driver,   // the open event will not be written: a driver takes part now
  marked_for_partners, // it will not be written: the two are driver and vehicle now
  marked_for_association,  // it will not be written: an association starts for its driver
};

struct pair_decision_facts {
  pair_decision what;
  std::int64_t distance_mm = -1;    // at the decision, where one was measured
  bool desensitized_before = false; // the hysteresis before the decision
  std::int64_t duration_s = 0;      // of a closed event, by the rules
};

// The watched pair as a line, or the end, left it.
struct pair_facts {
  bool positioned[2] = {false, false};
  std::int32_t x[2] = {0, 0};  // mm, the last position of each
  std::int32_t y[2] = {0, 0};
  bool driving[2] = {false, false};
  object_id driven[2] = {no_object, no_object};  // the vehicle each drives, while driving
  bool partners = false;  // driver and vehicle of one association
  bool open = false;
  bool to_write = false;  // the open event will be written, as things stand
  bool desensitized = false;
  object_id silenced_by = no_object;  // the object whose no-alarm list names the other
};

// Watches one pair of a replay (an explanation of it). A replay that no one watches takes
// null_observer, which compiles every telling away.
class pair_observer {
 public:
  static constexpr bool watching = true;

  virtual ~pair_observer() = default;
  virtual void decided(const pair_decision_facts& _decision) = 0;
  // After each line of either object, with the facts it left.
  virtual void line_done(const fed_line& _line, const pair_facts& _facts) = 0;
  // No more lines: what follows are the associations left.
  virtual void lines_ended() = 0;
  // After the associations left: the pair as the replay ends it.
  virtual void replay_ended(const pair_facts& _facts) = 0;
};

struct null_observer {
  static constexpr bool watching = false;
};
}  // namespace vela
