#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

#include "base/flat_map.hpp"
#include "files/input_file.hpp"
#include "globals.hpp"
#include "object_types.hpp"
#include "timestamp.hpp"

namespace vela {
// The site of a run as the two JSON inputs describe it: the trackable objects under dense ids
// and the vehicle-driver associations as start and end records sorted by time. Loaded once, read
// by the replay and the result, never changed afterwards. Uids are resolved here, once.
struct site_object {
  std::string uid;
  std::string name;
  vela::category category = vela::category::person;
  std::vector<object_id> no_alarm;  // objects it never raises an alarm with, ascending
};

// One start or end record of an association, between two objects of the site.
struct association_record {
  vela::timestamp timestamp;  // whole seconds, ms 0
  object_id vehicle = no_object;
  object_id driver = no_object;
  bool created = false;  // true: the association starts; false: it ends
};

// A trackables or association file holds a site's objects, not gigabytes: larger is refused
// (status 3) before it is held in memory.
constexpr std::uint64_t json_input_limit_bytes = std::uint64_t{64} << 20;

// Reads and parses one JSON input (_file_name) as every run does; _read records which file it
// was. SYNC_SUCCESS, or 2 (cannot open) or 3 (cannot parse) after one line on standard error
// (the reader's list of errors, for a syntax error).
exit_code read_json_input(const std::string& _file_name, Json::Value& _json_message,
                          input_file& _read);

class site {
 public:
  site() = default;
  // Not copied or moved: the uid index views the site's own text.
  site(const site&) = delete;
  site& operator=(const site&) = delete;

  // Builds the objects from the trackables document. SYNC_SUCCESS, or
  // SYNC_FAILURE_PARSING_INPUT_FILE after one line on standard error (naming _file_name when the
  // document lacks its list). An object whose category is neither "VEHICLE" nor "PERSON", or
  // whose uid came before, is passed over.
  exit_code load_trackables(const Json::Value& _message, const std::string& _file_name);
  // Builds the association records from the association document, after the trackables.
  // Associations naming an object that is not on the site are dropped. The same results.
  exit_code load_associations(const Json::Value& _message, const std::string& _file_name);

  std::size_t size() const { return m_objects.size(); }
  const site_object& object(object_id _id) const { return m_objects[_id]; }
  const std::vector<site_object>& objects() const { return m_objects; }
  // Sorted by time alone: records of equal time keep no particular order.
  const std::vector<association_record>& associations() const { return m_associations; }
  // The object with this uid, or no_object.
  object_id find(std::string_view _uid) const {
    const object_id* id = m_ids.find(_uid);
    return id == nullptr ? no_object : *id;
  }
  // The object whose uid is the empty text, or no_object. The rules compare uids as text, and an
  // object without an association partner names the empty text as its partner.
  object_id empty_uid_object() const { return m_empty_uid_object; }
  bool is_person(object_id _id) const { return m_objects[_id].category == category::person; }

 private:
  void index_uids();
  void read_association(const Json::Value& _entry);

  // A uid is looked up for every line: a short hash and comparison, without library calls.
  struct uid_hash {
    std::uint64_t operator()(std::string_view _uid) const {
      std::uint64_t h = 14695981039346656037ULL;  // FNV-1a
      for (const char c : _uid) {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
      }
      return h;
    }
  };
  struct uid_equal {
    bool operator()(std::string_view _a, std::string_view _b) const {
      if (_a.size() != _b.size()) {
        return false;
      }
      for (std::size_t i = 0; i < _a.size(); ++i) {
        if (_a[i] != _b[i]) {
          return false;
        }
      }
      return true;
    }
  };

  std::vector<site_object> m_objects;  // by id
  std::string m_uids;  // every uid end to end, the keys of m_ids, close together in memory
  flat_map<std::string_view, object_id, uid_hash, uid_equal> m_ids;
  object_id m_empty_uid_object = no_object;
  std::vector<association_record> m_associations;
};
}  // namespace vela
