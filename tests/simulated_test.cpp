// End-to-end runs of the tools: vela-simulate's command line and determinism, vela on simulated
// sites checked against what the detection rules guarantee for any recording, and vela-summary.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;
using uid_pair = std::pair<std::string, std::string>;
constexpr std::int64_t threshold_mm = 2000;

test::run_result simulate(const test::temp_folder& _folder, arguments _options) {
  _options.insert(_options.begin(), {"--out", "."});
  return test::run_in(_folder, VELA_SIMULATE, _options);
}

// Simulates a site in _folder and runs vela on it, keeping the inputs; the event document.
Json::Value simulate_and_detect(const test::temp_folder& _folder, const arguments& _options) {
  EXPECT_EQ(0, simulate(_folder, _options).status);
  const test::run_result run =
      test::run_vela(_folder, {"-i", "positions.csv", "-t", "trackables.json", "-a",
                               "associations.json", "-d", "2000", "-o", "events.json", "-s"});
  EXPECT_EQ(0, run.status) << run.err;
  return test::parse_json(_folder.read("events.json"));
}

// Checks every written event against what the rules guarantee for any input. Returns the number
// of person-vehicle and of vehicle-vehicle events.
std::pair<int, int> expect_rules_hold(const test::temp_folder& _folder, const Json::Value& _doc) {
  std::map<std::string, std::string> category;
  std::set<uid_pair> no_alarm;  // both orders: either object's list excludes the pair
  const Json::Value trackables = test::parse_json(_folder.read("trackables.json"));
  for (const Json::Value& object : trackables["trackableObjects"]) {
    category[object["uid"].asString()] = object["category"].asString();
    for (const Json::Value& other : object["t2t_no_alarm_uid"]) {
      no_alarm.insert({object["uid"].asString(), other.asString()});
      no_alarm.insert({other.asString(), object["uid"].asString()});
    }
  }
  // A simulated driver's associations never overlap (one who forgets to log out never drives
  // again), so a person drives exactly from created_at to removed_at and has no event then.
  std::multimap<std::string, std::pair<std::int64_t, std::int64_t>> driving;
  std::set<uid_pair> associated;  // (vehicle, driver)
  const Json::Value associations = test::parse_json(_folder.read("associations.json"));
  for (const Json::Value& record : associations["vehicle_driver_associations"]) {
    associated.insert({record["vehicle_uid"].asString(), record["driver_uid"].asString()});
    driving.insert(
        {record["driver_uid"].asString(),
         {record["created_at"].asInt64(),
          record.get("removed_at", std::numeric_limits<std::int64_t>::max()).asInt64()}});
  }
  const std::string positions = _folder.read("positions.csv");
  const std::size_t last_line = positions.rfind('\n', positions.size() - 2) + 1;  // npos + 1: 0
  const std::int64_t last_ts = std::stoll(positions.substr(positions.find(',', last_line) + 1));
  std::pair<int, int> kinds;
  for (const Json::Value& event : _doc["events"]) {
    SCOPED_TRACE(event.toStyledString());
    const std::string a = event["trackables"][0]["uid"].asString();
    const std::string b = event["trackables"][1]["uid"].asString();
    const std::int64_t ts = event["ts"].asInt64();
    const std::int64_t duration = event["duration"].asInt64();
    if (category.count(a) == 0 || category.count(b) == 0 || a == b) {
      ADD_FAILURE() << "not two known objects";
      continue;
    }
    EXPECT_FALSE(category[a] == "PERSON" && category[b] == "PERSON") << "two persons";
    EXPECT_EQ(0U, no_alarm.count({a, b})) << "a no-alarm pair";
    EXPECT_GE(event["distance"].asInt64(), 0);
    EXPECT_LE(event["distance"].asInt64(), threshold_mm) << "opens only at the threshold";
    EXPECT_TRUE(duration > 0 || (duration == 0 && ts >= last_ts - 1)) << "closed: at least 1 s";
    EXPECT_LE(ts + duration, last_ts + 1) << "ends by the last line";
    for (const Json::Value& object : event["trackables"]) {
      const std::string uid = object["uid"].asString();
      if (!object["driver_uid"].isNull()) {
        EXPECT_EQ(1U, associated.count({uid, object["driver_uid"].asString()})) << "not its driver";
      }
      const auto [first, last] = driving.equal_range(uid);
      for (auto span = first; span != last; ++span) {
        EXPECT_FALSE(span->second.first <= ts && ts < span->second.second) << uid << " drove";
      }
    }
    ++(category[a] == category[b] ? kinds.second : kinds.first);
  }
  return kinds;
}

TEST(SimulatedTest, SimulatorCommandLine) {
  const test::temp_folder help_folder;
  const test::run_result help = test::run_in(help_folder, VELA_SIMULATE, {"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0U, help.out.rfind("Usage: vela-simulate --out DIR", 0)) << help.out;
  EXPECT_EQ("", help.err);
  // A usage error is one line, as in every companion.
  const struct {
    arguments args;
    const char* message;
  } rows[] = {
      {{"--persons", "3"}, "--out is required"},
      {{"--out", "x", "--persons", "-3"},
       "invalid --persons '-3' (expected a whole number, 0 to 1000000)"},
      {{"--out", "x", "--noise", "1.5"},
       "invalid --noise '1.5' (expected a fraction, 0 to 1, 6 decimals at most)"},
      {{"--out", "x", "--driven", "1.5"},
       "invalid --driven '1.5' (expected a fraction, 0 to 1, 6 decimals at most)"},
      {{"--out", "x", "--minutes", "1e3"},
       "invalid --minutes '1e3' (expected minutes, more than 0 up to 10080, 3 decimals at most)"},
      {{"--out", "x", "--bogus"}, "unknown option '--bogus'"},
      {{"--out", "x", "--seed"}, "'--seed' needs a value"},
      {{"--out", "x", "extra"}, "unexpected argument 'extra'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    test::temp_folder folder;
    const test::run_result run = test::run_in(folder, VELA_SIMULATE, row.args);
    EXPECT_EQ(64, run.status);
    EXPECT_EQ(std::string("vela-simulate: ") + row.message + " (see --help)\n", run.err);
    EXPECT_EQ("", run.out);
    EXPECT_FALSE(folder.exists("x"));
  }
  // A recording already there may be a day's only copy: replaced only with --force.
  for (const char* kept : {"positions.csv", "trackables.json", "associations.json"}) {
    SCOPED_TRACE(kept);
    test::temp_folder folder;
    folder.write(kept, "a day\n");
    const test::run_result refused = simulate(folder, {"--persons", "2"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ(std::string("vela-simulate: .: holds ") + kept +
                  " already; --force replaces the recording\n",
              refused.err);
    EXPECT_EQ("a day\n", folder.read(kept));
    ASSERT_EQ(0, simulate(folder, {"--persons", "2", "--force"}).status);
    EXPECT_NE("a day\n", folder.read(kept));
  }
}

TEST(SimulatedTest, SameSeedSameFilesOtherSeedOtherFiles) {
  arguments options = {"--persons", "8",       "--vehicles", "6",      "--minutes",
                       "2",         "--noise", "0.2",        "--seed", "41"};
  test::temp_folder first, again, other;
  ASSERT_EQ(0, simulate(first, options).status);
  ASSERT_EQ(0, simulate(again, options).status);
  options.back() = "42";
  ASSERT_EQ(0, simulate(other, options).status);
  for (const char* file : {"positions.csv", "trackables.json", "associations.json"}) {
    SCOPED_TRACE(file);
    EXPECT_FALSE(first.read(file).empty());
    EXPECT_EQ(first.read(file), again.read(file));
  }
  // The objects depend on the counts alone; where they go, on the seed.
  EXPECT_EQ(first.read("trackables.json"), other.read("trackables.json"));
  EXPECT_NE(first.read("positions.csv"), other.read("positions.csv"));
  EXPECT_NE(first.read("associations.json"), other.read("associations.json"));
}

// The driven share decides how many vehicles drivers log in to, the drivers taking turns; the
// default books every other vehicle.
TEST(SimulatedTest, DrivenShareSetsTheVehiclesThatDriversBook) {
  const struct {
    const char* driven;  // nullptr: the default
    std::size_t vehicles;
  } rows[] = {{nullptr, 5}, {"0", 0}, {"0.5", 5}, {"1", 10}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.driven != nullptr ? row.driven : "default");
    test::temp_folder folder;
    arguments options = {"--persons", "20", "--vehicles", "10", "--minutes", "10"};
    if (row.driven != nullptr) {
      options.insert(options.end(), {"--driven", row.driven});
    }
    ASSERT_EQ(0, simulate(folder, options).status);
    std::map<std::string, std::set<std::string>> drivers;  // by vehicle
    const Json::Value table = test::parse_json(folder.read("associations.json"));
    for (const Json::Value& record : table["vehicle_driver_associations"]) {
      drivers[record["vehicle_uid"].asString()].insert(record["driver_uid"].asString());
    }
    EXPECT_EQ(drivers.size(), row.vehicles);
    if (row.vehicles != 0) {
      EXPECT_TRUE(std::any_of(drivers.begin(), drivers.end(),
                              [](const auto& _vehicle) { return _vehicle.second.size() > 1; }))
          << "no vehicle changed its driver";
    }
  }
}

// Noise only adds lines and associations that vela must skip, so with and without it the same
// seed must give the same events.
TEST(SimulatedTest, DetectionFollowsTheRulesOnSimulatedSites) {
  const arguments sites[] = {
      {"--persons", "16", "--vehicles", "8", "--minutes", "5", "--area", "50", "--seed", "3"},
      {"--persons", "10", "--vehicles", "10", "--minutes", "4", "--rate", "2", "--seed", "9"},
  };
  for (arguments site : sites) {
    SCOPED_TRACE(site.back());
    test::temp_folder clean, noisy;
    const auto [person_vehicle, vehicle_vehicle] =
        expect_rules_hold(clean, simulate_and_detect(clean, site));
    EXPECT_GT(person_vehicle, 0) << "the sites are built for encounters of both kinds";
    EXPECT_GT(vehicle_vehicle, 0);
    site.insert(site.end(), {"--noise", "0.5"});
    simulate_and_detect(noisy, site);
    EXPECT_NE(clean.read("positions.csv").size(), noisy.read("positions.csv").size());
    EXPECT_EQ(clean.read("events.json"), noisy.read("events.json"));
  }
}

// A result of some megabytes goes to the file in pieces, on a thread of its own where there is a
// second core: a write that fails on the way still leaves no temporary file and every input.
TEST(SimulatedTest, WriteFailingMidwayLeavesNothing) {
  test::temp_folder folder;
  ASSERT_EQ(0, simulate(folder, {"--persons", "200", "--vehicles", "100", "--minutes", "2",
                                 "--area", "30", "--rate", "2"})
                   .status);
  const test::run_result run =
      test::run_vela(folder,
                     {"-i", "positions.csv", "-t", "trackables.json", "-a", "associations.json",
                      "-d", "2000", "-o", "events.json"},
                     "prlimit --fsize=2000000");
  EXPECT_EQ(4, run.status);
  EXPECT_EQ("Error writing file:events.json (events.json.tmp: File too large)\n", run.err);
  EXPECT_FALSE(folder.exists("events.json.tmp"));
  EXPECT_TRUE(folder.exists("positions.csv") && folder.exists("associations.json"));
}

TEST(SimulatedTest, SummaryCountsEventsAndRejectsBadFiles) {
  test::temp_folder folder;
  const Json::Value result = simulate_and_detect(folder, {"--persons", "12", "--vehicles", "6"});
  const auto [person_vehicle, vehicle_vehicle] = expect_rules_hold(folder, result);
  const test::run_result run = test::run_in(folder, VELA_SUMMARY, {"events.json"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(0U, run.out.find(std::to_string(result["events"].size()) +
                             " events: " + std::to_string(person_vehicle) + " person-vehicle, " +
                             std::to_string(vehicle_vehicle) + " vehicle-vehicle\n"))
      << run.out;
  const std::string bad_files[] = {
      "{\"events\": [",  // not JSON
      "{\"events\": {}, \"trackableObjects\": []}",
      "{\"events\": [{\"distance\": \"1 m\"}], \"trackableObjects\": []}",
      "{\"events\": [7], \"trackableObjects\": [{\"uid\": 1}]}",
      std::string(100000, '['),  // deeper than the reader goes
  };
  for (const std::string& content : bad_files) {
    SCOPED_TRACE(content.substr(0, 60));
    folder.write("bad.json", content);
    const test::run_result bad = test::run_in(folder, VELA_SUMMARY, {"bad.json"});
    EXPECT_EQ(1, bad.status) << "an error, not a crash";
    EXPECT_NE(std::string::npos, bad.err.find("bad.json")) << bad.err;
  }
  EXPECT_EQ(1, test::run_in(folder, VELA_SUMMARY, {"missing.json"}).status);
}
}  // namespace
}  // namespace vela
