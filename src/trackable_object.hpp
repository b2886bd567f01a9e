#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>

#include <boost/optional.hpp>
#include <json/json.h>

#include "object_types.hpp"
#include "timestamp.hpp"

namespace vela {

// One object that carries a tag: its configuration from the trackables file and the state the
// replay keeps in it (last position, association state).
class trackable_object {
 public:
  // The object's JSON form in the result: "category", "name", "uid".
  Json::Value get_as_json() const;

  // True while the object drives a vehicle.
  bool is_vda_driver() const { return m_vda_type == vda_type::driver && !m_vda_uid.empty(); }
  // True while the object is a vehicle with a driver.
  bool is_vda_vehicle() const { return m_vda_type == vda_type::vehicle && !m_vda_uid.empty(); }
  // True when the association partner is _uid; without a partner this matches the empty uid.
  bool is_vda_associated(const std::string& _uid) const { return m_vda_uid == _uid; }
  const std::string& get_vda_uid() const { return m_vda_uid; }
  // Index, in the sorted association table, of the record that ended the last association.
  boost::optional<std::uint64_t> get_closing_vda_index() const { return m_closing_vda_index; }

  // An association starts with this object as the vehicle.
  void set_associated_driver(const std::string& _driver_uid);
  // An association starts with this object as the driver.
  void set_associated_vehicle(const std::string& _vehicle_uid);
  // The association ends by the record at _vda_index; the side played is kept.
  void clear_vda_association(std::uint64_t _vda_index);

  std::string uid;
  std::string name;
  struct {
    std::set<std::string> t2t_no_alarm_uid;  // never raises an alarm with these objects
  } tag_config;
  struct {
    vela::timestamp timestamp;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    std::string sublocation_uid;
  } last_position;
  struct {
    vela::timestamp timestamp;  // (0, 0) until the object's first position
  } first_position;
  category m_category = category::person;
  std::set<std::uint32_t> event_index;  // positions of its open events in the event list

 private:
  std::string m_vda_uid;
  vda_type m_vda_type = vda_type::driver;
  boost::optional<std::uint64_t> m_closing_vda_index;
};

// Diagnostic printers; nothing in a run calls them.
std::ostream& operator<<(std::ostream& _os, const trackable_object& _obj);
std::ostream& operator<<(std::ostream& _os, const std::map<std::string, trackable_object>& _objs);
}  // namespace vela
