#pragma once
// Streaming reader of a vela result in either of its forms: the document written with -o (an
// object holding "events" and "trackableObjects") or the bare events array written to standard
// output. Each event and each trackable object goes to a callback as soon as it is read, so
// memory does not grow with the size of the result.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>

#include <boost/optional.hpp>

namespace vela::results {
// One of the two objects of an event, where it was when the event began (mm).
struct event_object {
  std::string uid;
  boost::optional<std::string> driver_uid;  // set for a vehicle that had a driver
  std::int64_t x_mm = 0;
  std::int64_t y_mm = 0;
};

struct event {
  std::size_t number = 0;  // 1 for the first event of the result
  std::int64_t ts = 0;     // start, seconds of Unix time on the site's clock
  std::int64_t ms = 0;     // milliseconds added to ts
  std::int64_t duration_s = 0;
  std::int64_t distance_mm = 0;  // the smallest distance during the event
  event_object objects[2];
};

// An entry of "trackableObjects". A missing name or category reads as empty.
struct trackable {
  std::size_t number = 0;  // 1 for the first entry
  std::string uid;
  std::string name;
  std::string category;  // "PERSON" or "VEHICLE" in vela's results
};

enum class form {
  document,     // the object with "events" and "trackableObjects"
  events_only,  // the bare events array: no names, no categories
};

// Either may be empty. The objects handed over are valid only during the call.
struct handlers {
  std::function<void(const event&)> on_event;
  std::function<void(const trackable&)> on_trackable;
};

// The input is not a vela result (not JSON, truncated, of another shape) or cannot be read.
// The message is one line without the file name, e.g. "event 3: no \"distance\"".
class read_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a whole result from _in, calling the handlers in the order of the input, and tells
// which form it was. Members and event fields it does not know are skipped. Throws read_error;
// an exception thrown by a handler ends the reading and passes through unchanged.
form read(std::istream& _in, const handlers& _handlers);
}  // namespace vela::results
