#pragma once
// Hand-written inputs for the tests of the rules and of the output: position lines and the
// trackables document of a few named objects.

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

namespace vela::test {
inline constexpr const char* no_associations = R"({"vehicle_driver_associations": []})";

// One position line: _uid seen at (_x_mm, _y_mm) at second _ts, millisecond _ms.
inline std::string at(const std::string& _uid, std::int64_t _ts, std::int64_t _ms, int _x_mm, int _y_mm) {
  return "1," + std::to_string(_ts) + "," + std::to_string(_ms) + ",AA:BB:CC:DD:EE:FF," +
         std::to_string(_x_mm) + "," + std::to_string(_y_mm) + ",0," + _uid + ",S1,P1,TAG\n";
}

struct object {
  std::string uid;
  std::string category;  // "PERSON" or "VEHICLE"
  std::vector<std::string> no_alarm = {};
};

// The trackables document; every object is named "name <uid>".
inline std::string trackables(const std::vector<object>& _objects) {
  Json::Value list(Json::arrayValue);
  for (const object& obj : _objects) {
    Json::Value entry;
    entry["uid"] = obj.uid;
    entry["name"] = "name " + obj.uid;
    entry["category"] = obj.category;
    for (const std::string& uid : obj.no_alarm) {
      entry["t2t_no_alarm_uid"].append(uid);
    }
    list.append(entry);
  }
  Json::Value document;
  document["trackableObjects"] = list;
  return Json::writeString(Json::StreamWriterBuilder(), document);
}

inline const std::vector<object> person_and_vehicle = {{"P1", "PERSON"}, {"V1", "VEHICLE"}};
}  // namespace vela::test
