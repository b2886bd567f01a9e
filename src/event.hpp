#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <boost/optional.hpp>
#include <json/json.h>

#include "timestamp.hpp"

namespace vela {
// One object of an event as it was when the event began.
struct trackable_object_for_event {
  boost::optional<std::string> driver_uid;  // set when the object was a vehicle with a driver
  std::string uid;
  std::int32_t x = 0;  // mm
  std::int32_t y = 0;  // mm
};

// A near-miss: two objects closer than the threshold from `timestamp` for `duration` seconds.
struct event {
  enum class should_skip : std::int32_t { no = 0, yes = 1 };  // yes: never written

  // The JSON object of the event in the result.
  Json::Value get_as_json() const;

  trackable_object_for_event trackable_object_1;  // the object whose line created the event
  trackable_object_for_event trackable_object_2;
  std::uint64_t index = 0;  // creation order, from 0
  vela::timestamp timestamp;
  std::int64_t duration = 0;  // whole seconds; 0 while open
  std::int64_t distance = 0;  // smallest distance seen, mm
  should_skip m_should_skip = should_skip::no;
};

// Writes the event's JSON object with the library's default formatting.
std::ostream& operator<<(std::ostream& _os, const event& _event);
}  // namespace vela
