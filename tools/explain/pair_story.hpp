#pragma once
// The story of one pair in a recording, told from vela's own replay: every line that moved one of
// the two objects, the state of the pair after it, what changed and why, and the pair's events in
// their final state. The replay tells each decision on the pair with its reason as it takes it;
// the story only puts it in words. Its events are the pair's events in vela's result for the same
// inputs and threshold.

#include <cstdint>
#include <string>
#include <vector>

#include "files/file_source.hpp"
#include "rules.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"

namespace vela::explain {
// The state of the pair after a line, as a person would name it.
enum class pair_state : std::uint8_t {
  not_positioned,      // one of the two has no position yet: nothing is evaluated
  no_alarm,            // silenced by a no-alarm list
  driver,              // a driver takes part: only skipped events
  driver_and_vehicle,  // the two are driver and vehicle of one association: only skipped events
  no_event,
  desensitized,        // no event, and the next one opens only within T - 175
  event_open,          // an event that will be written, as things stand
  event_not_written,   // an event open that will not be written
};

// "no event", "event open", ...
const char* state_text(pair_state _state);

struct story_row {
  vela::timestamp time;
  object_id moved = no_object;
  bool positioned[2] = {false, false};
  std::int32_t x[2] = {0, 0};  // mm, the last position of each
  std::int32_t y[2] = {0, 0};
  std::int64_t distance_mm = -1;  // -1 while one of the two has no position
  pair_state state = pair_state::not_positioned;
  bool desensitized = false;
  int event = 0;       // the number of the pair's event open after the line, or 0
  std::string change;  // what changed on this line and why, in plain words; empty for nothing
};

struct story_event {
  int number = 0;  // from 1, in the order the pair's events opened
  vela::timestamp start;
  bool written = false;
  std::int64_t duration_s = 0;    // as in the result; until its closing line when skipped
  std::uint32_t distance_mm = 0;  // the smallest distance, as in the result
  bool closed = false;            // by a line of the pair (else open at the end)
  vela::timestamp end;            // the closing line's time, when closed
  std::string skip_reason;        // when not written: why
};

struct pair_story {
  object_id a = no_object;
  object_id b = no_object;
  run_rules rules;
  std::vector<story_row> rows;  // every line of either object, in file order
  std::vector<story_event> events;
  std::string silence;  // a reason the pair never raises an event at all (a no-alarm list)
};

// Whether _event lasted into the window from _from to _to.
bool lasts_into(const story_event& _event, const timestamp& _from, const timestamp& _to);

// Replays _recording on _site by _rules, watching the pair (_a, _b), and tells its story. Throws
// what the replay throws (a read error, a refused recording).
pair_story tell(const site& _site, const run_rules& _rules, file_source& _recording, object_id _a,
                object_id _b);
}  // namespace vela::explain
