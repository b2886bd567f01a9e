// vela-summary: a short report of a vela event document for people: how many events of which
// kind, the closest approaches and the pairs with most events. A file that is not an event
// document gets one line on standard error and status 1.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <json/json.h>

namespace vela::summary {
namespace {
constexpr const char* usage_text =
    "Usage: vela-summary EVENTS.json\n"
    "Prints a short report of an event document written by vela -o: the number of events by\n"
    "kind, the five closest approaches and the five pairs with most events.\n";
constexpr std::size_t listed = 5;

struct approach {
  std::int64_t distance_mm = 0;
  std::int64_t ts = 0;
  std::int64_t ms = 0;
  std::int64_t duration_s = 0;
  std::string first;
  std::string second;
};

using pair_key = std::pair<std::string, std::string>;  // the smaller uid first

struct report {
  std::size_t person_vehicle = 0;
  std::size_t vehicle_vehicle = 0;
  std::size_t other = 0;  // a person pair, or a uid missing from "trackableObjects"
  std::vector<approach> approaches;
  std::map<pair_key, std::size_t> events_per_pair;
};

[[noreturn]] void malformed(const std::string& _what) { throw std::runtime_error(_what); }

Json::Value read_document(const std::string& _path) {
  if (boost::filesystem::is_directory(_path)) {
    malformed("is a folder");
  }
  std::ifstream in(_path, std::ios::binary);
  if (!in) {
    malformed(std::strerror(errno));
  }
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) {
    std::replace(errors.begin(), errors.end(), '\n', ' ');
    malformed("not JSON: " + errors.substr(0, errors.find_last_not_of(' ') + 1));
  }
  if (!root.isObject() || !root["events"].isArray() || !root["trackableObjects"].isArray()) {
    malformed(
        "not an event document (an object with the arrays \"events\" and "
        "\"trackableObjects\")");
  }
  return root;
}

// uid -> category, from "trackableObjects".
std::map<std::string, std::string> read_categories(const Json::Value& _objects) {
  std::map<std::string, std::string> categories;
  for (const Json::Value& object : _objects) {
    if (!object.isObject() || !object["uid"].isString() || !object["category"].isString()) {
      malformed("a trackable object without a \"uid\" or \"category\" text");
    }
    categories[object["uid"].asString()] = object["category"].asString();
  }
  return categories;
}

approach read_event(const Json::Value& _event, std::size_t _number) {
  const std::string where = "event " + std::to_string(_number) + ": ";
  if (!_event.isObject()) {
    malformed(where + "not an object");
  }
  for (const char* key : {"distance", "duration", "ts", "ms"}) {
    if (!_event[key].isInt64()) {
      malformed(where + "\"" + key + "\" is not a whole number");
    }
  }
  const Json::Value& trackables = _event["trackables"];
  if (!trackables.isArray() || trackables.size() != 2 || !trackables[0].isObject() ||
      !trackables[1].isObject() || !trackables[0]["uid"].isString() ||
      !trackables[1]["uid"].isString()) {
    malformed(where + "\"trackables\" is not two objects with a \"uid\" text");
  }
  return {_event["distance"].asInt64(),    _event["ts"].asInt64(),
          _event["ms"].asInt64(),          _event["duration"].asInt64(),
          trackables[0]["uid"].asString(), trackables[1]["uid"].asString()};
}

report summarize(const Json::Value& _document) {
  const std::map<std::string, std::string> categories =
      read_categories(_document["trackableObjects"]);
  const auto category = [&](const std::string& _uid) {
    const auto found = categories.find(_uid);
    return found == categories.end() ? std::string() : found->second;
  };
  report result;
  for (const Json::Value& event : _document["events"]) {
    approach one = read_event(event, result.approaches.size() + 1);
    const std::string first = category(one.first);
    const std::string second = category(one.second);
    if (first == "VEHICLE" && second == "VEHICLE") {
      ++result.vehicle_vehicle;
    } else if ((first == "PERSON" && second == "VEHICLE") ||
               (first == "VEHICLE" && second == "PERSON")) {
      ++result.person_vehicle;
    } else {
      ++result.other;
    }
    ++result.events_per_pair[std::minmax(one.first, one.second)];
    result.approaches.push_back(std::move(one));
  }
  return result;
}

// "2026-01-01 00:03:12.250 UTC" when the seconds make a date, else the two numbers.
std::string time_text(std::int64_t _ts, std::int64_t _ms) {
  const auto seconds = static_cast<std::time_t>(_ts);
  std::tm parts{};
  char date[64];
  if (_ms < 0 || _ms > 999 || static_cast<std::int64_t>(seconds) != _ts ||
      ::gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
    return "ts " + std::to_string(_ts) + " ms " + std::to_string(_ms);
  }
  const std::string millis = std::to_string(1000 + _ms).substr(1);
  return std::string(date) + "." + millis + " UTC";
}

void print_closest(std::vector<approach> _approaches) {
  std::sort(_approaches.begin(), _approaches.end(), [](const approach& _a, const approach& _b) {
    return std::tie(_a.distance_mm, _a.ts, _a.ms, _a.first, _a.second) <
           std::tie(_b.distance_mm, _b.ts, _b.ms, _b.first, _b.second);
  });
  std::cout << "Closest approaches:\n";
  for (std::size_t k = 0; k < std::min(listed, _approaches.size()); ++k) {
    const approach& one = _approaches[k];
    std::cout << "  " << one.distance_mm << " mm  " << one.first << " - " << one.second << "  at "
              << time_text(one.ts, one.ms) << " for " << one.duration_s << " s\n";
  }
}

void print_busiest(const std::map<pair_key, std::size_t>& _events_per_pair) {
  std::vector<std::pair<pair_key, std::size_t>> pairs(_events_per_pair.begin(),
                                                      _events_per_pair.end());
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const auto& _a, const auto& _b) { return _a.second > _b.second; });
  std::cout << "Pairs with most events:\n";
  for (std::size_t k = 0; k < std::min(listed, pairs.size()); ++k) {
    std::cout << "  " << pairs[k].second << (pairs[k].second == 1 ? " event   " : " events  ")
              << pairs[k].first.first << " - " << pairs[k].first.second << "\n";
  }
}

void print(const report& _report) {
  std::cout << _report.approaches.size() << " events: " << _report.person_vehicle
            << " person-vehicle, " << _report.vehicle_vehicle << " vehicle-vehicle";
  if (_report.other > 0) {
    std::cout << ", " << _report.other << " between other objects";
  }
  std::cout << "\n";
  if (!_report.approaches.empty()) {
    print_closest(_report.approaches);
    print_busiest(_report.events_per_pair);
  }
}
}  // namespace
}  // namespace vela::summary

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << vela::summary::usage_text;
    return 0;
  }
  if (argc != 2) {
    std::cerr << vela::summary::usage_text;
    return 2;
  }
  try {
    vela::summary::print(vela::summary::summarize(vela::summary::read_document(argv[1])));
  } catch (const std::exception& e) {  // the reader's and jsoncpp's errors alike
    std::cerr << "vela-summary: " << argv[1] << ": " << e.what() << std::endl;
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
