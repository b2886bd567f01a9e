#pragma once
// The result document written as it streams: events one by one, then the trackable objects,
// appended to a caller's buffer in exactly the bytes the JSON library's stream writer gives for
// the same tree (so nothing of the document has to be held in memory at once).

#include <cstdint>
#include <string>
#include <string_view>

namespace vela {
// One of the two objects of an event. The views stay valid while the writer uses them.
struct document_party {
  std::string_view uid;
  std::int32_t x = 0;       // mm
  std::int32_t y = 0;       // mm
  bool has_driver = false;  // false: "driver_uid" is null
  std::string_view driver_uid;
};

// One near-miss as the document writes it.
struct document_event {
  std::int64_t ts = 0;  // whole seconds
  std::int64_t ms = 0;
  std::int64_t duration = 0;  // whole seconds
  std::int64_t distance = 0;  // mm
  document_party parties[2];
};

// One entry of "trackableObjects".
struct document_object {
  std::string_view uid;
  std::string_view name;
  bool vehicle = false;  // category VEHICLE, else PERSON
};

// file: {"events": [...], "trackableObjects": [...]}, indented by four blanks, no comments.
// standard_output: the events array alone, with the library's default settings (tabs).
// Both end in one "\n".
enum class document_form { file, standard_output };

// Appends _text as a quoted JSON string, byte for byte as the library writes a string value:
// non-ASCII and control characters as \uXXXX (lower-case hex), code points beyond U+FFFF as
// surrogate pairs, and malformed UTF-8 decoded the library's lenient way (mostly U+FFFD).
void append_json_string(std::string& _out, std::string_view _text);

// Writes one document through calls in document order: add_event for each event, then (file form
// only) add_object for each trackable object, then finish once. Each call appends to _out, which
// the caller may empty between calls (after writing it out). Throws vela::exception on a call out
// of that order.
class event_document {
 public:
  explicit event_document(document_form _form);

  void add_event(std::string& _out, const document_event& _event);
  void add_object(std::string& _out, const document_object& _object);
  // Writes whatever is still missing, the final "\n" included.
  void finish(std::string& _out);

 private:
  // What was written last. Whether an array is "[]" or multi-line is known only once its first
  // element comes or the array ends.
  enum class stage { empty, events, objects, finished };
  // The fixed text between the values, built once for the form's indentation; most are named
  // after the value they lead to.
  enum fragment : std::uint8_t {
    first_event,
    next_event,
    distance,
    duration,
    ms,
    first_driver_uid,
    uid,
    x,
    y,
    second_driver_uid,
    ts,
    type,
    objects_key_after_events,
    objects_key_without_events,
    first_object,
    next_object,
    person,
    vehicle,
    name,
    object_uid,
    object_end,
    end_after_events,
    end_without_events,
    end_after_objects,
    end_without_objects,
    fragment_count
  };

  void add_party(std::string& _out, const document_party& _party);
  void add_objects_key(std::string& _out);
  [[noreturn]] void refuse(const char* _call) const;

  document_form m_form;
  stage m_stage = stage::empty;
  std::string m_fragments[fragment_count];
};
}  // namespace vela
