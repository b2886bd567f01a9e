// vela-explain end to end: on simulated sites with drivers its events are the pair's events in
// vela's result; each reason a pair is silenced is named; what it refuses to explain has its
// status; its page draws the events and the silenced spans.
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "browser.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;
// An event as vela's result gives it: ts, ms, duration, distance.
using event_key = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>;

test::run_result explain(const test::temp_folder& _dir, const arguments& _more) {
  arguments args = {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000"};
  args.insert(args.end(), _more.begin(), _more.end());
  return test::run_in(_dir, VELA_EXPLAIN, args);
}

// The written events the explanation lists: "  event N: from ... (ts T, ms M) for D s, closest
// C mm: written".
std::multiset<event_key> told_events(const std::string& _text) {
  std::multiset<event_key> events;
  std::istringstream lines(_text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(" (ts ");
    if (line.rfind("  event ", 0) != 0 || at == std::string::npos ||
        line.size() < 9 || line.compare(line.size() - 9, 9, ": written") != 0) {
      continue;
    }
    long long ts = 0;
    long long ms = 0;
    long long duration = 0;
    long long distance = 0;
    if (std::sscanf(line.c_str() + at, " (ts %lld, ms %lld) for %lld s, closest %lld mm", &ts, &ms,
                    &duration, &distance) == 4) {
      events.insert({ts, ms, duration, distance});
    }
  }
  return events;
}

TEST(ExplainTest, ItsEventsAreThePairsEventsInVelasResult) {
  std::size_t compared = 0;
  for (const char* seed : {"3", "8"}) {
    SCOPED_TRACE(seed);
    const test::temp_folder dir;
    ASSERT_EQ(test::run_in(dir, VELA_SIMULATE,
                           {"--out", ".", "--persons", "14", "--vehicles", "8", "--minutes", "5",
                            "--area", "30", "--trip-legs", "3", "--seed", seed})
                  .status,
              0);
    ASSERT_EQ(std::system(("cd " + test::shell_quote(dir.path()) +
                           " && mv positions.csv p.csv && mv trackables.json t.json && mv "
                           "associations.json a.json")
                              .c_str()),
              0);
    ASSERT_EQ(test::run_vela(dir, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000",
                                   "-o", "r.json", "-s"})
                  .status,
              0);
    const Json::Value result = test::parse_json(dir.read("r.json"));
    std::map<std::pair<std::string, std::string>, std::multiset<event_key>> by_pair;
    for (const Json::Value& event : result["events"]) {
      std::string a = event["trackables"][0]["uid"].asString();
      std::string b = event["trackables"][1]["uid"].asString();
      by_pair[{std::min(a, b), std::max(a, b)}].insert(
          {event["ts"].asInt64(), event["ms"].asInt64(), event["duration"].asInt64(),
           event["distance"].asInt64()});
    }
    // Every pair with events, and as many random pairs of a vehicle with anyone.
    std::vector<std::string> persons;
    std::vector<std::string> vehicles;
    for (const Json::Value& object : result["trackableObjects"]) {
      (object["category"].asString() == "PERSON" ? persons : vehicles)
          .push_back(object["uid"].asString());
    }
    std::set<std::pair<std::string, std::string>> pairs;
    for (const auto& entry : by_pair) {
      pairs.insert(entry.first);
    }
    std::mt19937 random(std::stoi(seed));
    for (std::size_t k = 0; k < by_pair.size() + 4; ++k) {
      const std::string v = vehicles[random() % vehicles.size()];
      const std::string o = random() % 2 == 0 ? persons[random() % persons.size()]
                                              : vehicles[random() % vehicles.size()];
      if (v != o) {
        pairs.insert({std::min(v, o), std::max(v, o)});
      }
    }
    ASSERT_GE(by_pair.size(), 5U) << "a site with events";
    for (const auto& pair : pairs) {
      SCOPED_TRACE(pair.first + " " + pair.second);
      const test::run_result run = explain(dir, {pair.first, pair.second});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(told_events(run.out), by_pair[pair]);
      ++compared;
    }
    EXPECT_EQ(dir.read("p.csv").empty(), false) << "the inputs are never deleted";
  }
  EXPECT_GT(compared, 20U);
}

// A tiny site: P1, P2 persons; V1, V2 vehicles; V3 a vehicle whose no-alarm list names P1.
constexpr const char* trackables = R"({"trackableObjects": [
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "P2", "name": "Ben", "category": "PERSON"},
  {"uid": "V1", "name": "Forklift", "category": "VEHICLE"},
  {"uid": "V2", "name": "Tug", "category": "VEHICLE"},
  {"uid": "V3", "name": "Own cart", "category": "VEHICLE", "t2t_no_alarm_uid": ["P1"]}]})";

// A position line of _uid at second 1767225600 + _second, at (_x, 0).
std::string at(int _second, const char* _uid, int _x) {
  return "1," + std::to_string(1767225600 + _second) + ",0,m," + std::to_string(_x) + ",0,0," +
         _uid + ",s,p,T\n";
}

std::string association(const char* _vehicle, const char* _driver, int _from, int _to) {
  return std::string(R"({"vehicle_driver_associations": [{"vehicle_uid": ")") + _vehicle +
         R"(", "driver_uid": ")" + _driver +
         R"(", "created_at": )" + std::to_string(1767225600 + _from) +
         (_to < 0 ? "" : R"(, "removed_at": )" + std::to_string(1767225600 + _to)) + "}]}";
}

TEST(ExplainTest, EachReasonAPairIsSilencedIsNamed) {
  const struct {
    const char* why;
    std::string associations;
    std::string positions;
    arguments pair;
    std::vector<const char*> told;  // in the explanation, in this order
  } rows[] = {
      {"an event, opened and closed",
       "{}",
       at(10, "V1", 0) + at(11, "P1", 500) + at(12, "P1", 3000),
       {"P1", "V1"},
       {"event open (event 1)", "event 1 opens: 500 mm is within the threshold of 2000 mm",
        "event 1 closes: 3000 mm is beyond the threshold and its band, 2175 mm", ": written"}},
      {"a driver takes part",
       association("V2", "P1", 0, 1000),
       at(10, "P1", 0) + at(11, "V1", 500),
       {"P1", "V1"},
       {"P1 starts driving V2: while it drives", "skipped: a driver takes part",
        "Events of the pair: none"}},
      {"a driver that stops driving",
       association("V2", "P1", 0, 20),
       at(10, "P1", 0) + at(11, "V1", 3000) + at(25, "P1", 0),
       {"P1", "V1"},
       {"P1 starts driving V2", "skipped: a driver takes part",
        "P1 stops driving V2: its pairs are evaluated again"}},
      {"driver and vehicle",
       association("V2", "P1", 0, 1000),
       at(10, "P1", 0) + at(11, "V2", 500),
       {"V2", "P1"},
       {"become driver and vehicle of one association", "skipped: driver and vehicle"}},
      {"a no-alarm list",
       "{}",
       at(10, "P1", 0) + at(11, "V3", 500),
       {"P1", "V3"},
       {"silenced by a no-alarm list", "silenced: the no-alarm list of V3 names P1"}},
      {"five minutes after an association ended, on a first position",
       association("V1", "P2", 0, 100),
       at(110, "V1", 0) + at(150, "P2", 500),
       {"P2", "V1"},
       {"event open, not written",
        "event 1 opens but is never written: within five minutes of an ended association on a "
        "first position",
        "skipped, within five minutes"}},
      {"an association that starts after the last line",
       association("V2", "P2", 1000, -1),
       at(10, "V1", 0) + at(11, "P2", 500),
       {"P2", "V1"},
       {"event 1 opens", "skipped, an association that starts after the last line"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const test::temp_folder dir;
    dir.write("t.json", trackables);
    dir.write("a.json", row.associations);
    dir.write("p.csv", row.positions);
    const test::run_result run = explain(dir, row.pair);
    ASSERT_EQ(run.status, 0) << run.err;
    std::size_t from = 0;
    for (const char* told : row.told) {
      const std::size_t found = run.out.find(told, from);
      EXPECT_NE(found, std::string::npos) << "\"" << told << "\" in:\n" << run.out;
      from = found == std::string::npos ? from : found;
    }
    // The events told as written are vela's.
    const test::run_result vela = test::run_vela(
        dir, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000", "-s"});
    EXPECT_EQ(told_events(run.out).size(), test::parse_json(vela.out).size());
  }
}

TEST(ExplainTest, WhatItCannotExplainHasItsStatus) {
  const test::temp_folder dir;
  dir.write("t.json", trackables);
  dir.write("a.json", "{}");
  dir.write("p.csv", at(10, "V1", 0) + at(11, "P1", 500));
  const struct {
    arguments more;
    int status;
    const char* err;
  } rows[] = {
      {{"P1", "X9"}, 5, "vela-explain: X9: not an object of the site in t.json\n"},
      {{"P1", "P1"}, 5, "vela-explain: P1 given twice: a pair is two objects\n"},
      {{"P1", "P2"}, 6, "vela-explain: P1 and P2 are both persons: two persons never raise an "
                        "event\n"},
      {{"P2", "V2"}, 7, "vela-explain: no line of P2 or V2 in the recording\n"},
      {{"P1", "V1", "--from", "2026-01-01T01:00"}, 7,
       "vela-explain: no line of P1 or V1 in the window\n"},
      {{"P1", "V1", "--to", "yesterday"}, 64,
       "vela-explain: --to: expected a date and time in UTC or epoch seconds, not 'yesterday' "
       "(see --help)\n"},
      {{"P1"}, 64, "vela-explain: two uids are required, the pair to explain (see --help)\n"},
      {{"P1", "V1", "-d", "2m"}, 64, "vela-explain: invalid distance in mm -- '2m' (see --help)\n"},
      {{"P1", "V1", "--html", "thu.json"}, 4,
       "vela-explain: thu.json: not a page, so it is not replaced (it begins with neither "
       "<!DOCTYPE html nor <html); --force replaces it\n"},
      {{"P1", "V1", "--html", "nodir/story.html"}, 4,
       "vela-explain: nodir/story.html: No such file or directory\n"},
  };
  dir.write("thu.json", "{\"events\": []}");
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.more));
    const test::run_result run = explain(dir, row.more);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, row.err);
    if (row.status == 4) {
      EXPECT_EQ(run.out, "") << "refused before the replay";
    }
  }
  EXPECT_EQ(dir.read("thu.json"), "{\"events\": []}");
  EXPECT_FALSE(dir.exists("thu.json.tmp"));
  // Asked to, it replaces the file; a page it replaces without asking.
  for (const arguments& more : {arguments{"P1", "V1", "--html", "thu.json", "--force"},
                                arguments{"P1", "V1", "--html", "thu.json"}}) {
    ASSERT_EQ(explain(dir, more).status, 0);
    EXPECT_EQ(dir.read("thu.json").rfind("<!DOCTYPE html>", 0), 0U);
  }
  // The window, by date or epoch seconds, and the rows of the CSV: one per line of the two.
  for (const char* from : {"2026-01-01T00:00:11Z", "1767225611"}) {
    const test::run_result csv = explain(dir, {"P1", "V1", "--from", from, "--csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("time,ts,ms,moved,", 0), 0U);
    EXPECT_NE(csv.out.find("\r\n2026-01-01T00:00:11.000Z,1767225611,0,P1,500,0,0,0,500,"
                           "event open,yes,1,both positioned: the pair is evaluated from here "
                           "on; event 1 opens: 500 mm"),
              std::string::npos)
        << csv.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 2);
  }
  EXPECT_EQ(dir.read("p.csv"), at(10, "V1", 0) + at(11, "P1", 500)) << "never changed";
}

TEST(ExplainTest, ThePageDrawsTheEventsAndTheSilencedSpans) {
  if (!test::browser_problem().empty()) {
    if (std::getenv("CI") != nullptr) {
      FAIL() << test::browser_problem();
    }
    GTEST_SKIP() << test::browser_problem();
  }
  const test::temp_folder dir;
  dir.write("t.json", trackables);
  // Two written events, then P1 drives V2 and its pair with V1 is silenced.
  dir.write("a.json", association("V2", "P1", 30, 1000));
  dir.write("p.csv", at(10, "V1", 0) + at(11, "P1", 500) + at(13, "P1", 3000) +
                         at(15, "P1", 900) + at(20, "P1", 5000) + at(31, "P1", 400) +
                         at(33, "V1", 100));
  const test::run_result run = explain(dir, {"P1", "V1", "--html", "story.html"});
  ASSERT_EQ(run.status, 0) << run.err;
  const test::run_result dump =
      test::chromium(dir, {"--dump-dom", test::file_url(dir.file("story.html"))});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const std::vector<test::dom_element> dom = test::parse_dom(dump.out);
  EXPECT_EQ(test::of_class(dom, "event written").size(), told_events(run.out).size());
  EXPECT_EQ(told_events(run.out).size(), 2U);
  EXPECT_EQ(test::of_class(dom, "threshold").size(), 1U);
  EXPECT_EQ(test::of_class(dom, "band").size(), 1U);
  EXPECT_EQ(test::of_class(dom, "silence driver").size(), 1U);
  EXPECT_EQ(test::of_class(dom, "distance").size(), 1U);
  EXPECT_EQ(test::by_id(dom, "threshold").text.rfind("Threshold 2000 mm", 0), 0U);
  // The legend names what the chart draws, and nothing else.
  const std::string page = dir.read("story.html");
  const std::size_t legend = page.find("<p class=\"legend\">");
  const std::string keys = page.substr(legend, page.find("</p>", legend) - legend);
  for (const auto& [key, drawn] :
       std::map<std::string, std::string>{{"event written", "event written"},
                                          {"event skipped", "event skipped"},
                                          {"a driver takes part", "silence driver"},
                                          {"driver and vehicle", "silence partners"},
                                          {"no-alarm list", "silence no-alarm"},
                                          {"event open, not written", "silence not-written"}}) {
    EXPECT_EQ(keys.find("</span>" + key) != std::string::npos, !test::of_class(dom, drawn).empty())
        << key << " in " << keys;
  }
  EXPECT_EQ(page.find("distance-close-up"), std::string::npos) << "the whole span is 5 m";
}

// A pair far apart most of the time gets a second view, where the band is no thin line, only
// when it came within the band.
TEST(ExplainTest, ThePageZoomsInOnTheBandItCameWithin) {
  const test::temp_folder dir;
  dir.write("t.json", trackables);
  dir.write("a.json", "{}");
  dir.write("p.csv", at(10, "V1", 0) + at(11, "P1", 60000) + at(12, "P1", 1500) +
                         at(13, "P2", 40000) + at(14, "P2", 9000) + at(15, "P1", 50000));
  for (const auto& [other, close_up] : {std::pair{"P1", true}, std::pair{"P2", false}}) {
    ASSERT_EQ(explain(dir, {other, "V1", "--html", "story.html"}).status, 0);
    const std::vector<test::dom_element> dom = test::parse_dom(dir.read("story.html"));
    const auto bands = test::of_class(dom, "band");
    ASSERT_EQ(bands.size(), close_up ? 2U : 1U) << other;
    EXPECT_TRUE(!close_up || std::stod(*test::attribute(*bands[1], "height")) >
                                 8 * std::stod(*test::attribute(*bands[0], "height")));
  }
}
}  // namespace
}  // namespace vela
