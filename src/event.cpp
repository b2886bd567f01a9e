#include "event.hpp"

namespace vela {
namespace {
Json::Value trackable_as_json(const trackable_object_for_event& _obj) {
  Json::Value j(Json::objectValue);
  j["uid"] = _obj.uid;
  j["x"] = _obj.x;
  j["y"] = _obj.y;
  j["driver_uid"] = _obj.driver_uid ? Json::Value(*_obj.driver_uid) : Json::Value(Json::nullValue);
  return j;
}
}  // namespace

Json::Value event::get_as_json() const {
  Json::Value j(Json::objectValue);
  j["type"] = "near-miss";
  j["ts"] = Json::Int64{timestamp.ts};
  j["ms"] = Json::Int64{timestamp.ms};
  j["duration"] = Json::Int64{duration};
  j["distance"] = Json::Int64{distance};
  Json::Value trackables(Json::arrayValue);
  trackables.append(trackable_as_json(trackable_object_1));
  trackables.append(trackable_as_json(trackable_object_2));
  j["trackables"] = std::move(trackables);
  return j;
}

std::ostream& operator<<(std::ostream& _os, const event& _event) {
  return _os << _event.get_as_json();
}
}  // namespace vela
