#include "trackable_object.hpp"

namespace vela {
Json::Value trackable_object::get_as_json() const {
  Json::Value j(Json::objectValue);
  j["name"] = name;
  j["uid"] = uid;
  j["category"] = m_category == category::vehicle ? "VEHICLE" : "PERSON";
  return j;
}

void trackable_object::set_associated_driver(const std::string& _driver_uid) {
  m_vda_type = vda_type::vehicle;
  m_vda_uid = _driver_uid;
  m_closing_vda_index = boost::none;
}

void trackable_object::set_associated_vehicle(const std::string& _vehicle_uid) {
  m_vda_type = vda_type::driver;
  m_vda_uid = _vehicle_uid;
  m_closing_vda_index = boost::none;
}

void trackable_object::clear_vda_association(std::uint64_t _vda_index) {
  m_vda_uid.clear();
  m_closing_vda_index = _vda_index;
}

std::ostream& operator<<(std::ostream& _os, const trackable_object& _obj) {
  _os << std::endl << "   t2t_no_alarm_uid:";
  for (const std::string& uid : _obj.tag_config.t2t_no_alarm_uid) {
    _os << ' ' << uid;
  }
  return _os;
}

std::ostream& operator<<(std::ostream& _os, const std::map<std::string, trackable_object>& _objs) {
  for (const auto& [uid, obj] : _objs) {
    _os << uid << std::endl << obj << std::endl;
  }
  return _os;
}
}  // namespace vela
