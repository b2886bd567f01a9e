// The rules of detection, in-process: hand-written position lines and tables replayed through
// the units a run uses, and the events compared with values worked out by hand.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "input_text.hpp"
#include "replay_fixture.hpp"

namespace vela {
namespace {
using test::at;
using test::no_associations;
using test::object;
using test::person_and_vehicle;
using test::trackables;

// The events the replay writes for the three inputs, at _threshold_mm.
Json::Value replay(const std::string& _positions, const std::vector<object>& _objects,
                   std::uint32_t _threshold_mm,
                   const std::string& _associations = no_associations) {
  const test::replay_inputs inputs{_positions, trackables(_objects), _associations, _threshold_mm};
  return test::parse_document(test::run_replay(inputs).document)["events"];
}

struct party {
  std::string uid;
  int x_mm;
  int y_mm;
  const char* driver_uid = nullptr;
};

Json::Value party_json(const party& _party) {
  Json::Value value;
  value["driver_uid"] = _party.driver_uid == nullptr ? Json::Value() : _party.driver_uid;
  value["uid"] = _party.uid;
  value["x"] = _party.x_mm;
  value["y"] = _party.y_mm;
  return value;
}

Json::Value near_miss(std::int64_t _ts, std::int64_t _ms, std::int64_t _duration_s,
                      std::int64_t _distance_mm, const party& _first, const party& _second) {
  Json::Value value;
  value["type"] = "near-miss";
  value["ts"] = Json::Int64{_ts};
  value["ms"] = Json::Int64{_ms};
  value["duration"] = Json::Int64{_duration_s};
  value["distance"] = Json::Int64{_distance_mm};
  value["trackables"].append(party_json(_first));
  value["trackables"].append(party_json(_second));
  return value;
}

// The replay wrote exactly _expected, in order.
void expect_events(const Json::Value& _actual, const std::vector<Json::Value>& _expected) {
  Json::Value expected(Json::arrayValue);
  for (const Json::Value& event : _expected) {
    expected.append(event);
  }
  EXPECT_EQ(_actual.toStyledString(), expected.toStyledString());
}

TEST(ProximityTest, OneVehicleLineNearAPositionedPerson) {
  const std::string lines =
      at("P1", 90, 0, 1500, -340) + "1,100,250,AA:BB:CC:DD:EE:FF,120,-340,0,V1,S1,P1,TAG\n";
  expect_events(replay(lines, person_and_vehicle, 2000),
                {near_miss(100, 250, 0, 1380, {"V1", 120, -340}, {"P1", 1500, -340})});
}

TEST(ProximityTest, HysteresisBandAroundThreshold) {
  const struct {
    const char* why;
    std::uint32_t threshold_mm;
    std::string lines;
    std::vector<Json::Value> expected;
  } rows[] = {
      {"T 2000: opens at 2000, keeps at 2174, lowers to 1500, closes at 2175, reopens at 2000",
       2000,
       at("P1", 10, 0, 0, 0) + at("V1", 20, 0, 2000, 0) + at("V1", 21, 0, 2174, 0) +
           at("V1", 22, 0, 1500, 0) + at("V1", 23, 600, 2175, 0) + at("V1", 30, 0, 2000, 0) +
           at("V1", 31, 0, 2100, 0),
       {near_miss(20, 0, 4, 1500, {"V1", 2000, 0}, {"P1", 0, 0}),
        near_miss(30, 0, 1, 2000, {"V1", 2000, 0}, {"P1", 0, 0})}},
      {"T 100: the band is everything below 275, so 274 keeps the event open",
       100,
       at("P1", 10, 0, 0, 0) + at("V1", 20, 0, 100, 0) + at("V1", 21, 0, 274, 0) +
           at("V1", 22, 0, 101, 0) + at("V1", 23, 0, 275, 0),
       {near_miss(20, 0, 3, 100, {"V1", 100, 0}, {"P1", 0, 0})}},
      {"T 0: only the same x and y are a contact; 1.41 mm rounds to 1, no contact",
       0,
       at("P1", 10, 0, -300, 700) + at("V1", 20, 0, -299, 701) + at("V1", 21, 0, -300, 700) +
           at("V1", 22, 0, -300, 874) + at("V1", 23, 500, -300, 875),
       {near_miss(21, 0, 3, 0, {"V1", -300, 700}, {"P1", -300, 700})}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    expect_events(replay(row.lines, person_and_vehicle, row.threshold_mm), row.expected);
  }
}

TEST(ProximityTest, DurationsOfOpenAndClosedEvents) {
  const struct {
    const char* why;
    std::int64_t start_ts, start_ms;
    std::string last_line;
    std::int64_t duration_s;
  } rows[] = {
      {"open at the end, (10,600) to (11,100) stays 0", 10, 600, at("V9", 11, 100, 90000, 0), 0},
      {"open at the end, (10,0) to (10,500) rounds to 1", 10, 0, at("V9", 10, 500, 90000, 0), 1},
      {"closed from (10,600) to (11,100): 0 is raised to 1", 10, 600, at("V1", 11, 100, 3175, 0),
       1},
      {"closed from (10,0) to (11,500) lasts 2", 10, 0, at("V1", 11, 500, 3175, 0), 2},
      {"closed by a jump of 90 km", 10, 0, at("V1", 11, 0, 90000000, 0), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string lines =
        at("P1", 5, 0, 0, 0) + at("V1", row.start_ts, row.start_ms, 1000, 0) + row.last_line;
    expect_events(replay(lines, {{"P1", "PERSON"}, {"V1", "VEHICLE"}, {"V9", "VEHICLE"}}, 2000),
                  {near_miss(row.start_ts, row.start_ms, row.duration_s, 1000, {"V1", 1000, 0},
                             {"P1", 0, 0})});
  }
}

TEST(ProximityTest, NoEventForTwoPersonsOrPairsOnANoAlarmList) {
  // V1's line meets P1, whose list names V1, and P2, whom V1's own list names.
  const std::string lines = at("P1", 10, 0, 0, 0) + at("P2", 11, 0, 100, 0) +
                            at("V1", 12, 0, 0, 100) + at("V2", 13, 0, 0, -100);
  const std::vector<object> objects = {
      {"P1", "PERSON", {"V1"}}, {"P2", "PERSON"}, {"V1", "VEHICLE", {"P2"}}, {"V2", "VEHICLE"}};
  expect_events(replay(lines, objects, 2000),
                {near_miss(13, 0, 0, 100, {"V2", 0, -100}, {"P1", 0, 0}),
                 near_miss(13, 0, 0, 141, {"V2", 0, -100}, {"P2", 100, 0}),
                 near_miss(13, 0, 0, 200, {"V2", 0, -100}, {"V1", 0, 100})});
}

TEST(ProximityTest, EventsOfOneLineFollowTheOtherObjectsUid) {
  // Vehicles 2400 mm and more apart, all 1500 mm from P1: file order V3, A7, V10.
  const std::string lines = at("V3", 10, 0, 1500, 0) + at("A7", 11, 0, -900, 1200) +
                            at("V10", 12, 0, -900, -1200) + at("P1", 20, 0, 0, 0);
  const std::vector<object> objects = {
      {"V3", "VEHICLE"}, {"P1", "PERSON"}, {"V10", "VEHICLE"}, {"A7", "VEHICLE"}};
  expect_events(replay(lines, objects, 2000),
                {near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"A7", -900, 1200}),
                 near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"V10", -900, -1200}),
                 near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"V3", 1500, 0})});
}

TEST(DriverTest, DriverPairsAreSkippedAndReopenOnlyBelowTheBand) {
  // D drives V1 from 100 to 200. The skipped D-V2 event opened 100 m apart closes at 2001 after
  // the end; the pair is then desensitized without an event: 1826 opens nothing, 1825 does.
  const std::string lines = at("V2", 100, 0, 0, 0) + at("D", 101, 0, 100000, 0) +
                            at("V1", 102, 0, 1000, 0) + at("D", 250, 0, 1900, 0) +
                            at("D", 251, 0, 2001, 0) + at("D", 252, 0, 1826, 0) +
                            at("D", 253, 0, 1825, 0);
  const std::string associations = R"({"vehicle_driver_associations": [
      {"vehicle_uid": "V1", "driver_uid": "D", "created_at": 100, "removed_at": 200}]})";
  expect_events(
      replay(lines, {{"D", "PERSON"}, {"V1", "VEHICLE"}, {"V2", "VEHICLE"}}, 2000, associations),
      {near_miss(102, 0, 151, 1000, {"V1", 1000, 0, "D"}, {"V2", 0, 0}),
       near_miss(253, 0, 0, 1825, {"D", 1825, 0}, {"V2", 0, 0})});
}

TEST(DriverTest, NoEventOnFirstPositionWithinFiveMinutesOfAssociationEnd) {
  // D drove V1 until second 200; D's lines come afterwards, 500 mm from V1.
  const struct {
    const char* why;
    std::string d_lines;
    std::vector<Json::Value> expected;
  } rows[] = {
      {"299 s after the end", at("D", 499, 0, 500, 0), {}},
      {"299.499 s rounds to 299", at("D", 499, 499, 500, 0), {}},
      {"299.5 s rounds to 300",
       at("D", 499, 500, 500, 0),
       {near_miss(499, 500, 0, 500, {"D", 500, 0}, {"V1", 0, 0})}},
      {"300 s after the end",
       at("D", 500, 0, 500, 0),
       {near_miss(500, 0, 0, 500, {"D", 500, 0}, {"V1", 0, 0})}},
      {"299 s, but not D's first position",
       at("D", 450, 0, 5000, 0) + at("D", 499, 0, 500, 0),
       {near_miss(499, 0, 0, 500, {"D", 500, 0}, {"V1", 0, 0})}},
  };
  const std::string associations = R"({"vehicle_driver_associations": [
      {"vehicle_uid": "V1", "driver_uid": "D", "created_at": 100, "removed_at": 200}]})";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    expect_events(replay(at("V1", 150, 0, 0, 0) + row.d_lines, {{"D", "PERSON"}, {"V1", "VEHICLE"}},
                         2000, associations),
                  row.expected);
  }
}

TEST(DriverTest, StartAfterLastLineDropsTheNewDriversOpenEvents) {
  // P1 starts driving V2 at 1000, after the last line: its two open events go, its closed one
  // and the V3-V2 event stay.
  const std::string lines = at("V1", 10, 0, 0, 0) + at("P1", 11, 0, 1000, 0) +
                            at("P1", 12, 0, 5000, 0) + at("V2", 13, 0, 6000, 0) +
                            at("V3", 14, 0, 6000, 500);
  const std::string associations = R"({"vehicle_driver_associations": [
      {"vehicle_uid": "V2", "driver_uid": "P1", "created_at": 1000}]})";
  expect_events(
      replay(lines, {{"P1", "PERSON"}, {"V1", "VEHICLE"}, {"V2", "VEHICLE"}, {"V3", "VEHICLE"}},
             2000, associations),
      {near_miss(11, 0, 1, 1000, {"P1", 1000, 0}, {"V1", 0, 0}),
       near_miss(14, 0, 0, 500, {"V3", 6000, 500}, {"V2", 6000, 0})});
}

}  // namespace
}  // namespace vela
