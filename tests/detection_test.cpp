// End-to-end tests of the detection: the built binary replays small hand-written inputs in a
// fresh folder, and the events it reports are compared with values worked out by hand.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "test_support.hpp"

namespace vela {
namespace {
using test::run_result;
using test::temp_folder;

constexpr const char* no_associations = R"({"vehicle_driver_associations": []})";

// One position line: _uid seen at (_x_mm, _y_mm) at second _ts, millisecond _ms.
std::string at(const std::string& _uid, std::int64_t _ts, std::int64_t _ms, int _x_mm, int _y_mm) {
  return "1," + std::to_string(_ts) + "," + std::to_string(_ms) + ",AA:BB:CC:DD:EE:FF," +
         std::to_string(_x_mm) + "," + std::to_string(_y_mm) + ",0," + _uid + ",S1,P1,TAG\n";
}

struct object {
  std::string uid;
  std::string category;  // "PERSON" or "VEHICLE"
  std::vector<std::string> no_alarm = {};
};

// The trackables document; every object is named "name <uid>".
std::string trackables(const std::vector<object>& _objects) {
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

const std::vector<object> person_and_vehicle = {{"P1", "PERSON"}, {"V1", "VEHICLE"}};

// Writes the three inputs into _folder and runs the binary there on them, plus _args.
run_result replay(const temp_folder& _folder, const std::string& _positions,
                  const std::vector<object>& _objects, const std::vector<std::string>& _args,
                  const std::string& _associations = no_associations) {
  _folder.write("p.csv", _positions);
  _folder.write("t.json", trackables(_objects));
  _folder.write("a.json", _associations);
  std::vector<std::string> args = {"-i", "p.csv", "-t", "t.json", "-a", "a.json"};
  args.insert(args.end(), _args.begin(), _args.end());
  return test::run_vela(_folder, args);
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

// The run succeeded quietly and wrote exactly _expected as the events array on standard output.
void expect_events(const run_result& _result, const std::vector<Json::Value>& _expected) {
  EXPECT_EQ(_result.status, 0);
  EXPECT_EQ(_result.err, "");
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  std::istringstream in(_result.out);
  Json::Value actual;
  std::string errors;
  ASSERT_TRUE(Json::parseFromStream(builder, in, &actual, &errors)) << errors << _result.out;
  Json::Value expected(Json::arrayValue);
  for (const Json::Value& event : _expected) {
    expected.append(event);
  }
  EXPECT_EQ(actual.toStyledString(), expected.toStyledString());
}

TEST(ProximityTest, OneVehicleLineNearAPositionedPerson) {
  const temp_folder folder;
  const std::string lines =
      at("P1", 90, 0, 1500, -340) + "1,100,250,AA:BB:CC:DD:EE:FF,120,-340,0,V1,S1,P1,TAG\n";
  expect_events(replay(folder, lines, person_and_vehicle, {"-d", "2000", "-s"}),
                {near_miss(100, 250, 0, 1380, {"V1", 120, -340}, {"P1", 1500, -340})});
}

TEST(ProximityTest, HysteresisBandAroundThreshold) {
  const struct {
    const char* why;
    std::vector<std::string> args;
    std::string lines;
    std::vector<Json::Value> expected;
  } rows[] = {
      {"T 2000: opens at 2000, keeps at 2174, lowers to 1500, closes at 2175, reopens at 2000",
       {"-d", "2000"},
       at("P1", 10, 0, 0, 0) + at("V1", 20, 0, 2000, 0) + at("V1", 21, 0, 2174, 0) +
           at("V1", 22, 0, 1500, 0) + at("V1", 23, 600, 2175, 0) + at("V1", 30, 0, 2000, 0) +
           at("V1", 31, 0, 2100, 0),
       {near_miss(20, 0, 4, 1500, {"V1", 2000, 0}, {"P1", 0, 0}),
        near_miss(30, 0, 1, 2000, {"V1", 2000, 0}, {"P1", 0, 0})}},
      {"T 100: the band is everything below 275, so 274 keeps the event open",
       {"-d", "100"},
       at("P1", 10, 0, 0, 0) + at("V1", 20, 0, 100, 0) + at("V1", 21, 0, 274, 0) +
           at("V1", 22, 0, 101, 0) + at("V1", 23, 0, 275, 0),
       {near_miss(20, 0, 3, 100, {"V1", 100, 0}, {"P1", 0, 0})}},
      {"T 0 (no -d): only the same x and y are a contact; 1.41 mm rounds to 1, no contact",
       {},
       at("P1", 10, 0, -300, 700) + at("V1", 20, 0, -299, 701) + at("V1", 21, 0, -300, 700) +
           at("V1", 22, 0, -300, 874) + at("V1", 23, 500, -300, 875),
       {near_miss(21, 0, 3, 0, {"V1", -300, 700}, {"P1", -300, 700})}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const temp_folder folder;
    std::vector<std::string> args = row.args;
    args.push_back("-s");
    expect_events(replay(folder, row.lines, person_and_vehicle, args), row.expected);
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
    const temp_folder folder;
    const std::string lines =
        at("P1", 5, 0, 0, 0) + at("V1", row.start_ts, row.start_ms, 1000, 0) + row.last_line;
    expect_events(replay(folder, lines, {{"P1", "PERSON"}, {"V1", "VEHICLE"}, {"V9", "VEHICLE"}},
                         {"-d", "2000", "-s"}),
                  {near_miss(row.start_ts, row.start_ms, row.duration_s, 1000, {"V1", 1000, 0},
                             {"P1", 0, 0})});
  }
}

TEST(ProximityTest, NoEventForTwoPersonsOrPairsOnANoAlarmList) {
  // V1's line meets P1, whose list names V1, and P2, whom V1's own list names.
  const temp_folder folder;
  const std::string lines = at("P1", 10, 0, 0, 0) + at("P2", 11, 0, 100, 0) +
                            at("V1", 12, 0, 0, 100) + at("V2", 13, 0, 0, -100);
  const std::vector<object> objects = {
      {"P1", "PERSON", {"V1"}}, {"P2", "PERSON"}, {"V1", "VEHICLE", {"P2"}}, {"V2", "VEHICLE"}};
  expect_events(replay(folder, lines, objects, {"-d", "2000", "-s"}),
                {near_miss(13, 0, 0, 100, {"V2", 0, -100}, {"P1", 0, 0}),
                 near_miss(13, 0, 0, 141, {"V2", 0, -100}, {"P2", 100, 0}),
                 near_miss(13, 0, 0, 200, {"V2", 0, -100}, {"V1", 0, 100})});
}

TEST(ProximityTest, EventsOfOneLineFollowTheOtherObjectsUid) {
  // Vehicles 2400 mm and more apart, all 1500 mm from P1: file order V3, A7, V10.
  const temp_folder folder;
  const std::string lines = at("V3", 10, 0, 1500, 0) + at("A7", 11, 0, -900, 1200) +
                            at("V10", 12, 0, -900, -1200) + at("P1", 20, 0, 0, 0);
  const std::vector<object> objects = {
      {"V3", "VEHICLE"}, {"P1", "PERSON"}, {"V10", "VEHICLE"}, {"A7", "VEHICLE"}};
  expect_events(replay(folder, lines, objects, {"-d", "2000", "-s"}),
                {near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"A7", -900, 1200}),
                 near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"V10", -900, -1200}),
                 near_miss(20, 0, 0, 1500, {"P1", 0, 0}, {"V3", 1500, 0})});
}

TEST(DriverTest, DriverPairsAreSkippedAndReopenOnlyBelowTheBand) {
  // D drives V1 from 100 to 200. The skipped D-V2 event opened 100 m apart closes at 2001 after
  // the end; the pair is then desensitized without an event: 1826 opens nothing, 1825 does.
  const temp_folder folder;
  const std::string lines = at("V2", 100, 0, 0, 0) + at("D", 101, 0, 100000, 0) +
                            at("V1", 102, 0, 1000, 0) + at("D", 250, 0, 1900, 0) +
                            at("D", 251, 0, 2001, 0) + at("D", 252, 0, 1826, 0) +
                            at("D", 253, 0, 1825, 0);
  const std::string associations = R"({"vehicle_driver_associations": [
      {"vehicle_uid": "V1", "driver_uid": "D", "created_at": 100, "removed_at": 200}]})";
  expect_events(replay(folder, lines, {{"D", "PERSON"}, {"V1", "VEHICLE"}, {"V2", "VEHICLE"}},
                       {"-d", "2000", "-s"}, associations),
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
    const temp_folder folder;
    expect_events(replay(folder, at("V1", 150, 0, 0, 0) + row.d_lines,
                         {{"D", "PERSON"}, {"V1", "VEHICLE"}}, {"-d", "2000", "-s"}, associations),
                  row.expected);
  }
}

TEST(DriverTest, StartAfterLastLineDropsTheNewDriversOpenEvents) {
  // P1 starts driving V2 at 1000, after the last line: its two open events go, its closed one
  // and the V3-V2 event stay.
  const temp_folder folder;
  const std::string lines = at("V1", 10, 0, 0, 0) + at("P1", 11, 0, 1000, 0) +
                            at("P1", 12, 0, 5000, 0) + at("V2", 13, 0, 6000, 0) +
                            at("V3", 14, 0, 6000, 500);
  const std::string associations = R"({"vehicle_driver_associations": [
      {"vehicle_uid": "V2", "driver_uid": "P1", "created_at": 1000}]})";
  expect_events(replay(folder, lines,
                       {{"P1", "PERSON"}, {"V1", "VEHICLE"}, {"V2", "VEHICLE"}, {"V3", "VEHICLE"}},
                       {"-d", "2000", "-s"}, associations),
                {near_miss(11, 0, 1, 1000, {"P1", 1000, 0}, {"V1", 0, 0}),
                 near_miss(14, 0, 0, 500, {"V3", 6000, 500}, {"V2", 6000, 0})});
}

// Expected documents are written with '>' for one indentation step and '~' for the blank that
// the writer leaves at the end of a line that opens an array.
// _marked with _levels more steps at the start of each line and every step spelled _step.
std::string indented(const std::string& _marked, const std::string& _step, int _levels = 0) {
  std::string text;
  bool line_start = true;
  for (const char c : _marked) {
    for (int level = 0; line_start && level < _levels; ++level) {
      text += _step;
    }
    line_start = c == '\n';
    text += c == '>' ? _step : std::string(1, c == '~' ? ' ' : c);
  }
  return text;
}

// The trackables member of the event document for person_and_vehicle, and the end.
constexpr const char* trackables_member = R"(>"trackableObjects" :~
>[
>>{
>>>"category" : "PERSON",
>>>"name" : "name P1",
>>>"uid" : "P1"
>>},
>>{
>>>"category" : "VEHICLE",
>>>"name" : "name V1",
>>>"uid" : "V1"
>>}
>]
}
)";

const std::string no_event_document =
    indented(std::string("{\n>\"events\" : [],\n") + trackables_member, "    ");

TEST(EventOutputTest, FileAndStandardOutputLayout) {
  const std::string lines = at("P1", 90, 0, 1500, -340) + at("V1", 100, 250, 120, -340);
  const std::string event = R"({
>"distance" : 1380,
>"duration" : 0,
>"ms" : 250,
>"trackables" :~
>[
>>{
>>>"driver_uid" : null,
>>>"uid" : "V1",
>>>"x" : 120,
>>>"y" : -340
>>},
>>{
>>>"driver_uid" : null,
>>>"uid" : "P1",
>>>"x" : 1500,
>>>"y" : -340
>>}
>],
>"ts" : 100,
>"type" : "near-miss"
}
)";
  const temp_folder folder;
  const run_result to_file =
      replay(folder, lines, person_and_vehicle, {"-d", "2000", "-s", "-o", "out.json"});
  EXPECT_EQ(to_file.status, 0);
  EXPECT_EQ(to_file.out, "");
  EXPECT_EQ(folder.read("out.json"),
            indented("{\n>\"events\" :~\n>[\n", "    ") + indented(event, "    ", 2) +
                indented(std::string(">],\n") + trackables_member, "    "));
  const run_result to_stdout = replay(folder, lines, person_and_vehicle, {"-d", "2000", "-s"});
  EXPECT_EQ(to_stdout.status, 0);
  EXPECT_EQ(to_stdout.out, "[\n" + indented(event, "\t", 1) + "]\n");
}

TEST(EventOutputTest, RunWithoutEventsListsEveryTrackable) {
  const std::string lines = at("P1", 90, 0, 0, 0) + at("V1", 100, 0, 2001, 0);
  const temp_folder folder;
  const run_result to_file =
      replay(folder, lines, person_and_vehicle, {"-d", "2000", "-s", "-o", "out.json"});
  EXPECT_EQ(to_file.status, 0);
  EXPECT_EQ(folder.read("out.json"), no_event_document);
  const run_result to_stdout = replay(folder, lines, person_and_vehicle, {"-d", "2000", "-s"});
  EXPECT_EQ(to_stdout.status, 0);
  EXPECT_EQ(to_stdout.out, "[]\n");
}

TEST(EventOutputTest, WriteFailureKeepsEarlierFilesAndInputs) {
  const struct {
    const char* why;
    const char* output;
    void (*prepare)(const temp_folder&);
    const char* untouched;  // a file that must keep "earlier\n", if any
  } rows[] = {
      {"output folder missing", "missing/out.json", [](const temp_folder&) {}, nullptr},
      {"path through a regular file", "plain/out.json",
       [](const temp_folder& _f) { _f.write("plain", "earlier\n"); }, "plain"},
      {"output name is a folder", "out.json",
       [](const temp_folder& _f) {
         boost::filesystem::create_directory(_f.file("out.json"));
         _f.write("out.json/inside", "earlier\n");
       },
       "out.json/inside"},
      {"temporary name is a folder, earlier output kept", "out.json",
       [](const temp_folder& _f) {
         _f.write("out.json", "earlier\n");
         boost::filesystem::create_directory(_f.file("out.json.tmp"));
         _f.write("out.json.tmp/inside", "x");
       },
       "out.json"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const temp_folder folder;
    row.prepare(folder);
    // Without -s: a failed delivery must leave the inputs in place.
    const run_result result = replay(folder, at("P1", 90, 0, 0, 0) + at("V1", 100, 0, 10, 0),
                                     person_and_vehicle, {"-d", "2000", "-o", row.output});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "");
    const std::string prefix = std::string("Error writing file:") + row.output + " (";
    EXPECT_EQ(result.err.substr(0, prefix.size()), prefix) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.substr(std::max<std::size_t>(result.err.size(), 2) - 2), ")\n");
    if (row.untouched != nullptr) {
      EXPECT_EQ(folder.read(row.untouched), "earlier\n");
    }
    for (const char* input : {"p.csv", "t.json", "a.json"}) {
      EXPECT_TRUE(folder.exists(input)) << input;
    }
  }
}

TEST(EventOutputTest, StaleTemporaryFileIsReplacedNotWrittenThrough) {
  const struct {
    const char* why;
    bool as_link;
  } rows[] = {{"a symbolic link to another file", true},
              {"a longer regular file, with a longer earlier output", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const temp_folder folder;
    folder.write("target.txt", "keep\n");
    if (row.as_link) {
      boost::filesystem::create_symlink("target.txt", folder.file("out.json.tmp"));
    } else {
      folder.write("out.json.tmp", std::string(4096, 'x'));
      folder.write("out.json", std::string(4096, 'y'));
    }
    const run_result result = replay(folder, at("P1", 90, 0, 0, 0) + at("V1", 100, 0, 2001, 0),
                                     person_and_vehicle, {"-d", "2000", "-s", "-o", "out.json"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(folder.read("target.txt"), "keep\n");
    EXPECT_FALSE(boost::filesystem::is_symlink(folder.file("out.json")));
    EXPECT_EQ(folder.read("out.json"), no_event_document);
    EXPECT_FALSE(folder.exists("out.json.tmp"));
  }
}
}  // namespace
}  // namespace vela
