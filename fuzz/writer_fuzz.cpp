// The streaming writer of the result document against the JSON library. The input bytes are
// decoded into a document (events, trackable objects, arbitrary bytes for every text); both
// forms are written both ways, and any difference is a finding.

#include <json/json.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"
#include "fuzz_support.hpp"
#include "result/event_document.hpp"
#include "trackable_object.hpp"

namespace {
constexpr std::size_t most_elements = 64;

// Reads the input front to back; past its end every read yields zeros or empty text.
class input_reader {
 public:
  input_reader(const std::uint8_t* _data, std::size_t _size)
      : m_text(reinterpret_cast<const char*>(_data), _size) {}

  bool empty() const { return m_text.empty(); }

  std::uint8_t byte() {
    if (m_text.empty()) {
      return 0;
    }
    const auto value = static_cast<std::uint8_t>(m_text.front());
    m_text.remove_prefix(1);
    return value;
  }

  // A length byte, then that many bytes (fewer at the end of the input).
  std::string_view text() {
    const std::string_view out = m_text.substr(0, byte());
    m_text.remove_prefix(out.size());
    return out;
  }

  // Mostly the edges of the range, else eight raw bytes.
  template <class Integer>
  Integer number() {
    constexpr Integer edges[] = {0, 1, -1, std::numeric_limits<Integer>::min(),
                                 std::numeric_limits<Integer>::max()};
    const std::uint8_t pick = byte();
    if (pick < std::size(edges)) {
      return edges[pick];
    }
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
      bits = bits << 8 | byte();
    }
    return static_cast<Integer>(bits);  // wrap-around intended: any pattern of the width
  }

 private:
  std::string_view m_text;
};

vela::document_party read_party(input_reader& _in) {
  vela::document_party party;
  party.uid = _in.text();
  party.x = _in.number<std::int32_t>();
  party.y = _in.number<std::int32_t>();
  party.has_driver = (_in.byte() & 1) != 0;
  if (party.has_driver) {
    party.driver_uid = _in.text();
  }
  return party;
}

vela::document_event read_event(input_reader& _in) {
  vela::document_event ev;
  ev.ts = _in.number<std::int64_t>();
  ev.ms = _in.number<std::int64_t>();
  ev.duration = _in.number<std::int64_t>();
  ev.distance = _in.number<std::int64_t>();
  ev.parties[0] = read_party(_in);
  ev.parties[1] = read_party(_in);
  return ev;
}

vela::trackable_object_for_event as_trackable(const vela::document_party& _party) {
  vela::trackable_object_for_event out;
  out.uid = std::string(_party.uid);
  out.x = _party.x;
  out.y = _party.y;
  if (_party.has_driver) {
    out.driver_uid = std::string(_party.driver_uid);
  }
  return out;
}

// The events array as the program builds it for the library.
Json::Value library_events(const std::vector<vela::document_event>& _events) {
  Json::Value out(Json::arrayValue);
  for (const vela::document_event& ev : _events) {
    vela::event record;
    record.timestamp = vela::timestamp(ev.ts, ev.ms);
    record.duration = ev.duration;
    record.distance = ev.distance;
    record.trackable_object_1 = as_trackable(ev.parties[0]);
    record.trackable_object_2 = as_trackable(ev.parties[1]);
    out.append(record.get_as_json());
  }
  return out;
}

Json::Value library_objects(const std::vector<vela::document_object>& _objects) {
  Json::Value out(Json::arrayValue);
  for (const vela::document_object& obj : _objects) {
    vela::trackable_object record;
    record.uid = obj.uid;
    record.name = obj.name;
    record.m_category = obj.vehicle ? vela::category::vehicle : vela::category::person;
    out.append(record.get_as_json());
  }
  return out;
}

std::string streamed(vela::document_form _form, const std::vector<vela::document_event>& _events,
                     const std::vector<vela::document_object>& _objects) {
  std::string out;
  vela::event_document writer(_form);
  for (const vela::document_event& ev : _events) {
    writer.add_event(out, ev);
  }
  if (_form == vela::document_form::file) {
    for (const vela::document_object& obj : _objects) {
      writer.add_object(out, obj);
    }
  }
  writer.finish(out);
  return out;
}

void compare(const std::string& _streamed, const std::string& _library, const char* _form) {
  if (_streamed == _library) {
    return;
  }
  const auto [a, b] =
      std::mismatch(_streamed.begin(), _streamed.end(), _library.begin(), _library.end());
  vela::fuzz::finding(std::string(_form) + " form differs from byte " +
                      std::to_string(a - _streamed.begin()) + ": writer \"" +
                      std::string(a, std::min(a + 40, _streamed.end())) + "\", library \"" +
                      std::string(b, std::min(b + 40, _library.end())) + "\"");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* _data, std::size_t _size) {
  input_reader in(_data, _size);
  const std::size_t event_count = in.byte() % most_elements;
  const std::size_t object_count = in.byte() % most_elements;
  std::vector<vela::document_event> events;
  for (std::size_t i = 0; i < event_count && !in.empty(); ++i) {
    events.push_back(read_event(in));
  }
  std::vector<vela::document_object> objects;
  for (std::size_t i = 0; i < object_count && !in.empty(); ++i) {
    vela::document_object obj;
    obj.vehicle = (in.byte() & 1) != 0;
    obj.uid = in.text();
    obj.name = in.text();
    objects.push_back(obj);
  }

  Json::StreamWriterBuilder file_builder;
  file_builder["commentStyle"] = "None";
  file_builder["indentation"] = "    ";
  Json::Value document;
  document["trackableObjects"] = library_objects(objects);
  document["events"] = library_events(events);
  compare(streamed(vela::document_form::file, events, objects),
          Json::writeString(file_builder, document) + "\n", "file");
  compare(streamed(vela::document_form::standard_output, events, objects),
          Json::writeString(Json::StreamWriterBuilder(), library_events(events)) + "\n",
          "standard output");
  return 0;
}
