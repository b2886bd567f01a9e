#include "results/result_reader.hpp"

// RapidJSON's SAX reader calls the handler below once per token. The handler follows the fixed
// shape of a result with a small state machine: the container it is in (place) and the member
// the next value belongs to. Values of members it does not know are skipped by counting their
// nesting depth. The iterative parser keeps deep nesting off the call stack.

#include <cassert>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

namespace vela::results {
namespace {
constexpr std::size_t buffer_bytes = std::size_t{1} << 20;

// A RapidJSON input stream over a std::istream, read in large blocks.
class block_stream {
 public:
  using Ch = char;

  explicit block_stream(std::istream& _in) : m_in(_in), m_buffer(buffer_bytes) { fill(); }

  // '\0' at the end, as RapidJSON expects.
  Ch Peek() const { return m_current < m_end ? *m_current : '\0'; }
  Ch Take() {
    if (m_current == m_end) {
      return '\0';
    }
    const Ch c = *m_current++;
    if (m_current == m_end) {
      fill();
    }
    return c;
  }
  std::size_t Tell() const { return m_consumed + static_cast<std::size_t>(m_current - m_begin); }
  // Only in-situ parsing writes to its stream.
  Ch* PutBegin() {
    assert(false);
    return nullptr;
  }
  void Put(Ch) { assert(false); }
  void Flush() { assert(false); }
  std::size_t PutEnd(Ch*) {
    assert(false);
    return 0;
  }

  bool at_end() const { return m_current == m_end; }
  bool failed() const { return m_failed; }
  int error_number() const { return m_error_number; }  // errno of the failed read, maybe 0

 private:
  void fill() {
    m_consumed += static_cast<std::size_t>(m_end - m_begin);
    m_begin = m_buffer.data();
    m_current = m_begin;
    m_end = m_begin;
    if (m_failed || !m_in.good()) {
      return;
    }
    errno = 0;
    m_in.read(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
    m_end = m_begin + m_in.gcount();
    if (m_in.bad()) {
      m_failed = true;
      m_error_number = errno;
    }
  }

  std::istream& m_in;
  std::vector<char> m_buffer;
  const char* m_begin = nullptr;
  const char* m_current = nullptr;
  const char* m_end = nullptr;
  std::size_t m_consumed = 0;  // bytes before m_begin
  bool m_failed = false;
  int m_error_number = 0;
};

// Where the reader is: the container it is in.
enum class place { start, root, events, event, trackables, event_object, objects, object, done };

// The member whose value comes next.
enum class member {
  none,
  skip,  // unknown: its value is skipped
  events,
  trackable_objects,
  ts,
  ms,
  duration,
  distance,
  trackables,
  uid,
  driver_uid,
  x,
  y,
  name,
  category,
};

// Bits of the required event and object fields seen so far.
enum seen : unsigned {
  seen_ts = 1,
  seen_ms = 2,
  seen_duration = 4,
  seen_distance = 8,
  seen_trackables = 16,
  seen_uid = 32,
  seen_x = 64,
  seen_y = 128,
};

const char* expected_type(member _member) {
  switch (_member) {
    case member::events:
    case member::trackable_objects:
    case member::trackables:
      return "an array";
    case member::uid:
      return "a text";
    case member::name:
    case member::category:
    case member::driver_uid:
      return "a text or null";
    default:
      return "a whole number";
  }
}

class result_handler {
 public:
  explicit result_handler(const handlers& _handlers) : m_handlers(_handlers) {}

  bool Null() { return null(); }
  bool Bool(bool) { return wrong_type(); }
  bool Int(int _value) { return integer(_value); }
  bool Uint(unsigned _value) { return integer(_value); }
  bool Int64(std::int64_t _value) { return integer(_value); }
  bool Uint64(std::uint64_t _value) {
    if (_value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      // Where an object was expected there is no member to name, only the last key read.
      const bool skipped = m_skip_depth > 0 || m_member == member::skip;
      return skipped                    ? skip_scalar()
             : m_member == member::none ? not_an_object()
                                        : fail(field() + " is out of range");
    }
    return integer(static_cast<std::int64_t>(_value));
  }
  bool Double(double) { return wrong_type(); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return wrong_type(); }
  bool String(const char* _text, rapidjson::SizeType _length, bool) {
    return text(std::string_view(_text, _length));
  }
  bool Key(const char* _text, rapidjson::SizeType _length, bool) {
    return key(std::string_view(_text, _length));
  }
  bool StartObject() { return start(true); }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool StartArray() { return start(false); }
  bool EndArray(rapidjson::SizeType) { return end(); }

  form result_form() const { return m_form; }
  const std::string& error() const { return m_error; }
  std::exception_ptr handler_exception() const { return m_handler_exception; }

 private:
  bool fail(std::string _message) {
    m_error = std::move(_message);
    return false;
  }

  // "event 3" or "event 3, object 2" or "trackable object 5", or empty at the top.
  std::string location() const {
    switch (m_place) {
      case place::event:
      case place::trackables:
        return "event " + std::to_string(m_event.number);
      case place::event_object:
        return "event " + std::to_string(m_event.number) + ", object " +
               std::to_string(m_objects_in_event);
      case place::object:
        return "trackable object " + std::to_string(m_trackable.number);
      default:
        return "";
    }
  }

  // The member being read, for messages: "event 3: \"distance\"".
  std::string field() const {
    const std::string where = location();
    return (where.empty() ? "" : where + ": ") + "\"" + m_key + "\"";
  }

  bool wrong_type() {
    if (m_skip_depth > 0 || m_member == member::skip) {
      return skip_scalar();
    }
    if (m_member == member::none) {
      return not_an_object();
    }
    return fail(field() + " is not " + expected_type(m_member));
  }

  // A value where an object was expected: the top, or an element of an array.
  bool not_an_object() {
    switch (m_place) {
      case place::start:
        return fail("not a vela result: neither an object with \"events\" nor an events array");
      case place::events:
        return fail("event " + std::to_string(m_event.number + 1) + " is not an object");
      case place::trackables:
        return fail(location() + ": \"trackables\" holds something other than objects");
      case place::objects:
        return fail("trackable object " + std::to_string(m_trackable.number + 1) +
                    " is not an object");
      default:
        return fail("unexpected value");
    }
  }

  bool skip_scalar() {
    if (m_skip_depth == 0) {
      m_member = member::none;
    }
    return true;
  }

  bool integer(std::int64_t _value) {
    if (m_skip_depth > 0 || m_member == member::skip) {
      return skip_scalar();
    }
    switch (m_member) {
      case member::ts:
        return store(m_event.ts, _value, seen_ts);
      case member::ms:
        return store(m_event.ms, _value, seen_ms);
      case member::duration:
        return store(m_event.duration_s, _value, seen_duration);
      case member::distance:
        return store(m_event.distance_mm, _value, seen_distance);
      case member::x:
        return store(current_object().x_mm, _value, seen_x);
      case member::y:
        return store(current_object().y_mm, _value, seen_y);
      default:
        return wrong_type();
    }
  }

  bool store(std::int64_t& _field, std::int64_t _value, unsigned _seen) {
    _field = _value;
    m_seen |= _seen;
    m_member = member::none;
    return true;
  }

  bool text(std::string_view _value) {
    if (m_skip_depth > 0 || m_member == member::skip) {
      return skip_scalar();
    }
    switch (m_member) {
      case member::uid:
        (m_place == place::object ? m_trackable.uid : current_object().uid).assign(_value);
        m_seen |= seen_uid;
        break;
      case member::driver_uid:
        current_object().driver_uid = std::string(_value);
        break;
      case member::name:
        m_trackable.name.assign(_value);
        break;
      case member::category:
        m_trackable.category.assign(_value);
        break;
      default:
        return wrong_type();
    }
    m_member = member::none;
    return true;
  }

  bool null() {
    if (m_skip_depth > 0 || m_member == member::skip) {
      return skip_scalar();
    }
    switch (m_member) {
      case member::driver_uid:
        current_object().driver_uid = boost::none;
        break;
      case member::name:
        m_trackable.name.clear();
        break;
      case member::category:
        m_trackable.category.clear();
        break;
      default:
        return wrong_type();
    }
    m_member = member::none;
    return true;
  }

  bool key(std::string_view _key) {
    if (m_skip_depth > 0) {
      return true;
    }
    m_key.assign(_key);
    m_member = member_of(_key);
    return true;
  }

  member member_of(std::string_view _key) const {
    const auto is = [&](const char* _name) { return _key == _name; };
    switch (m_place) {
      case place::root:
        return is("events")             ? member::events
               : is("trackableObjects") ? member::trackable_objects
                                        : member::skip;
      case place::event:
        return is("ts")           ? member::ts
               : is("ms")         ? member::ms
               : is("duration")   ? member::duration
               : is("distance")   ? member::distance
               : is("trackables") ? member::trackables
                                  : member::skip;
      case place::event_object:
        return is("uid")          ? member::uid
               : is("driver_uid") ? member::driver_uid
               : is("x")          ? member::x
               : is("y")          ? member::y
                                  : member::skip;
      case place::object:
        return is("uid")        ? member::uid
               : is("name")     ? member::name
               : is("category") ? member::category
                                : member::skip;
      default:
        return member::skip;
    }
  }

  bool start(bool _object) {
    if (m_skip_depth > 0 || m_member == member::skip) {
      ++m_skip_depth;
      m_member = member::none;
      return true;
    }
    if (m_place == place::start) {
      m_form = _object ? form::document : form::events_only;
      m_place = _object ? place::root : place::events;
      return true;
    }
    if (m_member == member::none) {
      return _object ? start_element() : not_an_object();
    }
    if (_object) {
      return wrong_type();
    }
    return start_member_array();
  }

  // An object as an element of one of the three arrays.
  bool start_element() {
    switch (m_place) {
      case place::events:
        m_event.number += 1;
        m_seen = 0;
        m_objects_in_event = 0;
        m_place = place::event;
        return true;
      case place::trackables:
        if (m_objects_in_event == 2) {
          return fail(location() + ": \"trackables\" holds more than two objects");
        }
        ++m_objects_in_event;
        current_object().driver_uid = boost::none;
        m_seen &= ~(seen_uid | seen_x | seen_y);
        m_place = place::event_object;
        return true;
      case place::objects:
        m_trackable.number += 1;
        m_trackable.name.clear();
        m_trackable.category.clear();
        m_seen = 0;
        m_place = place::object;
        return true;
      default:
        return not_an_object();
    }
  }

  bool start_member_array() {
    const member which = m_member;
    m_member = member::none;
    switch (which) {
      case member::events:
        m_has_events = true;
        m_place = place::events;
        return true;
      case member::trackable_objects:
        m_has_trackable_objects = true;
        m_place = place::objects;
        return true;
      case member::trackables:
        m_seen |= seen_trackables;
        m_place = place::trackables;
        return true;
      default:
        m_member = which;
        return wrong_type();
    }
  }

  bool end() {
    if (m_skip_depth > 0) {
      if (--m_skip_depth == 0) {
        m_member = member::none;
      }
      return true;
    }
    switch (m_place) {
      case place::root:
        return end_root();
      case place::events:
        m_place = m_form == form::document ? place::root : place::done;
        return true;
      case place::event:
        return end_event();
      case place::trackables:
        if (m_objects_in_event != 2) {
          return fail(location() + ": \"trackables\" holds " + std::to_string(m_objects_in_event) +
                      " objects, not two");
        }
        m_place = place::event;
        return true;
      case place::event_object:
        return end_event_object();
      case place::objects:
        m_place = place::root;
        return true;
      case place::object:
        return end_object();
      default:
        return fail("unexpected end");
    }
  }

  bool end_root() {
    if (!m_has_events) {
      return fail("not a vela result: no \"events\" array");
    }
    if (!m_has_trackable_objects) {
      return fail("not a vela result: no \"trackableObjects\" array");
    }
    m_place = place::done;
    return true;
  }

  bool end_event() {
    for (const auto& [bit, name] : {std::pair{seen_ts, "ts"},
                                    {seen_ms, "ms"},
                                    {seen_duration, "duration"},
                                    {seen_distance, "distance"},
                                    {seen_trackables, "trackables"}}) {
      if ((m_seen & bit) == 0) {
        return fail(location() + ": no \"" + name + "\"");
      }
    }
    m_place = place::events;
    return deliver(m_handlers.on_event, m_event);
  }

  bool end_event_object() {
    for (const auto& [bit, name] : {std::pair{seen_uid, "uid"}, {seen_x, "x"}, {seen_y, "y"}}) {
      if ((m_seen & bit) == 0) {
        return fail(location() + ": no \"" + name + "\"");
      }
    }
    m_place = place::trackables;
    return true;
  }

  bool end_object() {
    if ((m_seen & seen_uid) == 0) {
      return fail(location() + ": no \"uid\"");
    }
    m_place = place::objects;
    return deliver(m_handlers.on_trackable, m_trackable);
  }

  template <typename T>
  bool deliver(const std::function<void(const T&)>& _callback, const T& _value) {
    if (!_callback) {
      return true;
    }
    try {
      _callback(_value);
    } catch (...) {  // carried over the parser, rethrown as it was by read()
      m_handler_exception = std::current_exception();
      return false;
    }
    return true;
  }

  event_object& current_object() {
    assert(m_objects_in_event >= 1 && m_objects_in_event <= 2);
    return m_event.objects[m_objects_in_event - 1];
  }

  const handlers& m_handlers;
  place m_place = place::start;
  member m_member = member::none;
  std::string m_key;
  std::size_t m_skip_depth = 0;
  unsigned m_seen = 0;  // of the event, or of the trackable object
  bool m_has_events = false;
  bool m_has_trackable_objects = false;
  std::size_t m_objects_in_event = 0;
  event m_event;
  trackable m_trackable;
  form m_form = form::document;
  std::string m_error;
  std::exception_ptr m_handler_exception;
};

std::string parse_message(const rapidjson::ParseResult& _result, const block_stream& _stream) {
  const std::string offset = std::to_string(_result.Offset());
  switch (_result.Code()) {
    case rapidjson::kParseErrorDocumentEmpty:
      return "empty: no JSON document";
    case rapidjson::kParseErrorDocumentRootNotSingular:
      return "not one JSON document: more follows at byte offset " + offset;
    default:
      break;
  }
  if (_stream.at_end()) {
    return "truncated: the JSON document ends at byte offset " + std::to_string(_stream.Tell()) +
           " before it is complete";
  }
  std::string reason = rapidjson::GetParseError_En(_result.Code());
  if (!reason.empty() && reason.back() == '.') {
    reason.pop_back();
  }
  return "not JSON at byte offset " + offset + ": " + reason;
}
}  // namespace

form read(std::istream& _in, const handlers& _handlers) {
  block_stream stream(_in);
  result_handler handler(_handlers);
  rapidjson::Reader reader;
  const rapidjson::ParseResult parsed =
      reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler);
  if (handler.handler_exception()) {
    std::rethrow_exception(handler.handler_exception());
  }
  if (stream.failed()) {
    const int error_number = stream.error_number();
    throw read_error(error_number == 0
                         ? std::string("cannot be read")
                         : std::string("cannot be read: ") + std::strerror(error_number));
  }
  if (parsed.IsError()) {
    throw read_error(parsed.Code() == rapidjson::kParseErrorTermination
                         ? handler.error()
                         : parse_message(parsed, stream));
  }
  // The parser takes a NUL byte for the end of its input: whatever follows the document, a NUL
  // included, is more than one document.
  if (!stream.at_end()) {
    throw read_error("not one JSON document: more follows at byte offset " +
                     std::to_string(stream.Tell()));
  }
  return handler.result_form();
}
}  // namespace vela::results
