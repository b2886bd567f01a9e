#include "site/site.hpp"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "base/text.hpp"
#include "exception.hpp"

namespace vela {
namespace {
// A document without its list is another kind of file (perhaps the other input): reading it as
// an empty list would consume a recording for a result made from nothing.
exit_code report_missing_list(const std::string& _file_name, const Json::Value& _message,
                              const std::string& _member) {
  const bool present = _message.isObject() && _message.isMember(_member);
  std::cerr << "Error parsing file:" << _file_name << " (field \"" << _member << "\" "
            << (present ? "is not an array" : "not found") << ")" << std::endl;
  return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
}

exit_code report_content_error(const std::exception& _e) {
  std::cerr << "Error parsing file:"
            << " (" << _e.what() << ")" << std::endl;
  return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
}

// One entry of "trackableObjects", read in its fields' order into _object (its no-alarm list as
// uids, into _no_alarm). False when its category is none of the two, and the entry is passed
// over; _category_str then holds it. Throws on a missing or mistyped field.
bool read_trackable(const Json::Value& _entry, site_object& _object,
                    std::set<std::string>& _no_alarm, std::string& _category_str) {
  const std::string object = "trackableObjects";
  std::string err;
  if (!get_j_value(_entry, "uid", _object.uid, err)) {
    throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
  }
  const std::string context = object + " \"" + _object.uid + "\": ";
  if (!get_j_value(_entry, "name", _object.name, err)) {
    throw vela::exception(context + err).set_location(__FILE__, __LINE__);
  }
  if (_entry.isMember("t2t_no_alarm_uid") && _entry["t2t_no_alarm_uid"].isArray()) {
    for (const Json::Value& uid : _entry["t2t_no_alarm_uid"]) {
      if (uid.isString()) {  // anything else in the list is passed over
        _no_alarm.insert(uid.asString());
      }
    }
  }
  if (!get_j_value(_entry, "category", _category_str, err)) {
    throw vela::exception(context + err).set_location(__FILE__, __LINE__);
  }
  if (_category_str == "VEHICLE") {
    _object.category = category::vehicle;
  } else if (_category_str == "PERSON") {
    _object.category = category::person;
  } else {
    return false;
  }
  return true;
}

// Categories passed over while not one vehicle was accepted: persons alone never raise an
// event, so the site is most likely misspelt ("Vehicle"), and its result would be no result.
constexpr std::size_t passed_over_named = 3;

exit_code report_no_vehicle(const std::string& _file_name, Json::ArrayIndex _entries,
                            const std::vector<std::string>& _passed_over) {
  std::cerr << "Error parsing file:" << _file_name << " (" << _entries
            << (_entries == 1 ? " entry" : " entries")
            << " in \"trackableObjects\", none accepted as a vehicle; categories passed over:";
  for (std::size_t k = 0; k < std::min(_passed_over.size(), passed_over_named); ++k) {
    std::cerr << (k == 0 ? " \"" : ", \"") << terminal_safe(_passed_over[k]) << "\"";
  }
  std::cerr << (_passed_over.size() > passed_over_named ? ", ...)" : ")") << std::endl;
  return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
}

// An association document that holds a trackables list and no association list is the
// trackables file given twice: read as "no associations" it would silently drop every driver.
bool is_a_trackables_document(const Json::Value& _message) {
  return _message.isObject() && _message.isMember("trackableObjects") &&
         !_message.isMember("vehicle_driver_associations");
}
}  // namespace

exit_code read_json_input(const std::string& _file_name, Json::Value& _json_message,
                          input_file& _read) {
  const bool digest = _read.wants_digest;
  _read = input_file{_file_name};
  _read.wants_digest = digest;
  std::string content;
  std::string error;
  switch (read_whole_file(_read, content, error, json_input_limit_bytes)) {
    case whole_file::cannot_open:
      std::cerr << "Error opening file:" << _file_name << " ("
                << stream_open_failure(_file_name, error) << ")" << std::endl;
      return exit_code::SYNC_FAILURE_OPENING_INPUT_FILE;
    case whole_file::too_large:
      std::cerr << "Error parsing file:" << _file_name << " (larger than 64 MiB)" << std::endl;
      return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
    case whole_file::read:
    case whole_file::folder:  // what was read is parsed, as a stream reads it: nothing
    case whole_file::read_error:
      break;
  }
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  // Newer readers skip a byte-order mark and accept trailing commas by default; both are
  // syntax errors here.
  builder["skipBom"] = false;
  builder["allowTrailingCommas"] = false;
  std::string errors;
  bool parsed = false;
  try {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    parsed =
        reader->parse(content.data(), content.data() + content.size(), &_json_message, &errors);
  } catch (const std::exception& e) {  // nesting beyond the reader's limit, memory exhaustion
    errors = e.what();
  }
  if (!parsed) {
    std::cerr << "Error parsing file:" << _file_name << " (" << errors << ")" << std::endl;
    return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
  }
  return exit_code::SYNC_SUCCESS;
}

exit_code site::load_trackables(const Json::Value& _message, const std::string& _file_name) {
  const std::string object = "trackableObjects";
  // By uid, byte-wise, which gives the ids; each object with the uids of its no-alarm list.
  std::map<std::string, std::pair<site_object, std::set<std::string>>> by_uid;
  try {
    const Json::Value j_trackable_objects = _message[object];
    if (!j_trackable_objects.isArray() && !j_trackable_objects.isObject()) {
      return report_missing_list(_file_name, _message, object);
    }
    bool vehicle_accepted = false;
    std::vector<std::string> passed_over;  // distinct, in file order, one more than named
    for (const Json::Value& j_trackable_object : j_trackable_objects) {
      site_object obj;
      std::set<std::string> no_alarm;
      std::string category_str;
      if (!read_trackable(j_trackable_object, obj, no_alarm, category_str)) {
        if (passed_over.size() <= passed_over_named &&
            std::find(passed_over.begin(), passed_over.end(), category_str) == passed_over.end()) {
          passed_over.push_back(std::move(category_str));
        }
        continue;
      }
      vehicle_accepted = vehicle_accepted || obj.category == category::vehicle;
      std::string uid = obj.uid;  // a repeated uid keeps the first
      by_uid.emplace(std::move(uid), std::make_pair(std::move(obj), std::move(no_alarm)));
    }
    if (!vehicle_accepted && !passed_over.empty()) {
      return report_no_vehicle(_file_name, j_trackable_objects.size(), passed_over);
    }
  } catch (const std::exception& e) {
    return report_content_error(e);
  }
  m_objects.clear();
  for (auto& entry : by_uid) {
    m_objects.push_back(std::move(entry.second.first));
  }
  index_uids();
  // The lists resolved to ids: a uid that is not on the site can never match a pair.
  for (site_object& obj : m_objects) {
    for (const std::string& uid : by_uid.at(obj.uid).second) {
      if (const object_id other = find(uid); other != no_object) {
        obj.no_alarm.push_back(other);
      }
    }
    std::sort(obj.no_alarm.begin(), obj.no_alarm.end());
  }
  return exit_code::SYNC_SUCCESS;
}

void site::index_uids() {
  m_uids.clear();
  for (const site_object& obj : m_objects) {
    m_uids += obj.uid;
  }
  m_ids.clear();
  std::size_t offset = 0;
  for (object_id id = 0; id < m_objects.size(); ++id) {
    const std::size_t length = m_objects[id].uid.size();
    m_ids.find_or_insert(std::string_view(m_uids).substr(offset, length)) = id;
    offset += length;
  }
  m_empty_uid_object = find(std::string_view());
}

// One element of "vehicle_driver_associations": its start and end records, unless it names an
// object that is not on the site. Throws on a missing or mistyped field.
void site::read_association(const Json::Value& _entry) {
  const std::string object = "vehicle_driver_associations";
  std::string vehicle_uid;
  std::string driver_uid;
  std::string err;
  if (!get_j_value(_entry, "vehicle_uid", vehicle_uid, err) ||
      !get_j_value(_entry, "driver_uid", driver_uid, err)) {
    throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
  }
  const object_id vehicle = find(vehicle_uid);
  const object_id driver = find(driver_uid);
  if (vehicle == no_object || driver == no_object) {
    return;  // unknown objects: dropped silently, times unread
  }
  std::int64_t created = 0;
  if (!get_j_value(_entry, "created_at", created, err)) {
    throw vela::exception(object + ": " + err).set_location(__FILE__, __LINE__);
  }
  // Without a usable end the association lasts to the end of time.
  constexpr std::int64_t end_of_time = std::numeric_limits<std::int64_t>::max();
  std::int64_t removed = end_of_time;
  std::string ignored;
  get_j_value(_entry, "removed_at", removed, ignored);
  if (removed == 0 || removed < created) {
    removed = end_of_time;
  }
  m_associations.push_back({timestamp(created, 0), vehicle, driver, true});
  m_associations.push_back({timestamp(removed, 0), vehicle, driver, false});
}

exit_code site::load_associations(const Json::Value& _message, const std::string& _file_name) {
  const std::string object = "vehicle_driver_associations";
  if (is_a_trackables_document(_message)) {
    std::cerr << "Error parsing file:" << _file_name << " (field \"" << object
              << "\" not found, and \"trackableObjects\" is there: a trackables file, not an "
                 "association file)"
              << std::endl;
    return exit_code::SYNC_FAILURE_PARSING_INPUT_FILE;
  }
  try {
    const Json::Value j_vdas = _message[object];
    if (!j_vdas.isNull() && !j_vdas.isArray() && !j_vdas.isObject()) {
      return report_missing_list(_file_name, _message, object);  // missing: no associations
    }
    for (const Json::Value& j_vda : j_vdas) {
      read_association(j_vda);
    }
  } catch (const std::exception& e) {
    return report_content_error(e);
  }
  // By time alone: records of equal time keep no particular order.
  std::sort(m_associations.begin(), m_associations.end(),
            [](const association_record& _l, const association_record& _r) {
              return _l.timestamp < _r.timestamp;
            });
  return exit_code::SYNC_SUCCESS;
}
}  // namespace vela
