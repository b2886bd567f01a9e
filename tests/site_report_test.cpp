// vela-site report in headless Chromium: the counts, exposure and rates of its page against counts
// made here from the store's own listings (events and runs), by work day, shift and zone; a day
// not recorded; a night shift across midnight and the change to summer time; the filters; two
// sites; runs made with different settings.
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "browser.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;
using test::attribute;
using test::by_id;
using test::dom_element;
using test::of_class;

// Counts by kind and exposure in milliseconds, as a row of the page holds them.
struct counted {
  std::int64_t pv = 0;
  std::int64_t vv = 0;
  std::int64_t vehicle_ms = 0;
  std::int64_t person_ms = 0;
  std::int64_t driving_ms = 0;
};

std::int64_t number_of(const dom_element& _element, const char* _name) {
  const std::string* value = attribute(_element, _name);
  return value != nullptr ? std::stoll(*value) : -1;
}

void expect_row(const dom_element& _row, const counted& _expected, const std::string& _what) {
  SCOPED_TRACE(_what);
  EXPECT_EQ(number_of(_row, "data-pv"), _expected.pv);
  EXPECT_EQ(number_of(_row, "data-vv"), _expected.vv);
  // Hours come back from the runs' listing as doubles: a millisecond either way.
  EXPECT_NEAR(number_of(_row, "data-vehicle-ms"), _expected.vehicle_ms, 1);
  EXPECT_NEAR(number_of(_row, "data-person-ms"), _expected.person_ms, 1);
  EXPECT_NEAR(number_of(_row, "data-driving-ms"), _expected.driving_ms, 1);
}

const dom_element* row_where(const std::vector<dom_element>& _dom, const char* _class,
                             const char* _name, const std::string& _value) {
  for (const dom_element* row : of_class(_dom, _class)) {
    if (test::has(*row, _name, _value)) {
      return row;
    }
  }
  return nullptr;
}

class SiteReportTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::browser_problem().empty()) {
      if (std::getenv("CI") != nullptr) {
        FAIL() << test::browser_problem();
      }
      GTEST_SKIP() << test::browser_problem();
    }
    // Three nights and mornings of a small site in Berlin's time: 27 March from 22:00 over
    // midnight, 28 March from 23:30 over midnight and the change to summer time (02:00 becomes
    // 03:00 on the 29th), nothing on the 29th, and the 30th from 10:00.
    const struct {
      const char* name;
      std::int64_t start;
      const char* minutes;
    } days[] = {{"a", 1774645200, "180"}, {"b", 1774737000, "240"}, {"d", 1774857600, "60"}};
    for (const auto& day : days) {
      ASSERT_EQ(test::run_in(m_dir, VELA_SIMULATE,
                             {"--out", day.name, "--persons", "10", "--vehicles", "5", "--minutes",
                              day.minutes, "--area", "30", "--seed", "3", "--trip-legs", "3",
                              "--start", std::to_string(day.start)})
                    .status,
                0);
    }
    m_dir.write("zones.geojson", R"({"type": "FeatureCollection", "features": [
      {"type": "Feature", "properties": {"name": "West"}, "geometry": {"type": "Polygon",
       "coordinates": [[[-10, -10], [15, -10], [15, 40], [-10, 40], [-10, -10]]]}},
      {"type": "Feature", "properties": {"name": "East"}, "geometry": {"type": "Polygon",
       "coordinates": [[[15, -10], [40, -10], [40, 40], [15, 40], [15, -10]]]}}]})");
    write_site("site.toml", "Hall", "");
    for (const char* day : {"a", "b", "d"}) {
      const test::run_result run = site({"run", "site.toml", "-i", std::string(day) + "/positions.csv",
                                         "-a", std::string(day) + "/associations.json", "-t",
                                         std::string(day) + "/trackables.json"});
      ASSERT_EQ(run.status, 0) << run.err;
    }
  }

  void write_site(const std::string& _file, const std::string& _name,
                  const std::string& _more) const {
    m_dir.write(_file, "name = \"" + _name +
                           "\"\nthreshold_mm = 2000\ntime_zone = \"Europe/Berlin\"\n"
                           "store = \"history.db\"\nzones = \"zones.geojson\"\n"
                           "[[shifts]]\nname = \"day\"\nstart = \"06:00\"\nend = \"22:00\"\n"
                           "[[shifts]]\nname = \"night\"\nstart = \"22:00\"\nend = \"06:00\"\n" +
                           _more);
  }
  test::run_result site(const arguments& _args) const {
    return test::run_in(m_dir, VELA_SITE, _args);
  }
  std::vector<dom_element> page(const arguments& _args) const {
    arguments args = {"report"};
    args.insert(args.end(), _args.begin(), _args.end());
    args.insert(args.end(), {"-o", "page.html"});
    const test::run_result made = site(args);
    EXPECT_EQ(made.status, 0) << made.err;
    return test::parse_dom(test::chromium(m_dir, {"--dump-dom", test::file_url(m_dir.file("page.html"))}).out);
  }

  // The counts a page should show, made from the store's listings: events by the work day and
  // shift of their local start (a night shift's morning counts to the day before), exposure from
  // the runs (each of these lies in one work day and one shift).
  struct expected_counts {
    counted total;
    std::map<std::string, counted> days;
    std::map<std::string, counted> shifts;
    std::map<std::string, counted> zones;
  };
  expected_counts expected(const std::string& _config, std::int64_t _min_duration,
                           const std::string& _ignored) const {
    expected_counts counts;
    const std::map<std::string, std::pair<std::string, std::string>> run_day_shift = {
        {"2026-03-27", {"2026-03-27", "night"}},
        {"2026-03-28", {"2026-03-28", "night"}},
        {"2026-03-30", {"2026-03-30", "day"}}};
    for (const std::string& line :
         test::lines_of(site({"events", _config, "--jsonl"}).out)) {
      const Json::Value event = test::parse_json(line);
      const std::string start = event["start"].asString();  // 2026-03-28T00:15:00.000+01:00
      std::string day = start.substr(0, 10);
      const int hour = std::stoi(start.substr(11, 2));
      const bool night = hour >= 22 || hour < 6;
      if (hour < 6) {
        day = day == "2026-03-29" ? "2026-03-28" : day == "2026-03-28" ? "2026-03-27" : day;
      }
      bool left_out = event["duration_s"].asInt64() < _min_duration;
      for (const Json::Value& zone : event["zones"]) {
        left_out = left_out || zone.asString() == _ignored;
      }
      if (left_out) {
        continue;
      }
      const bool pv = event["kind"].asString() == "person-vehicle";
      for (counted* into : {&counts.total, &counts.days[day], &counts.shifts[night ? "night" : "day"]}) {
        (pv ? into->pv : into->vv) += 1;
      }
      for (const Json::Value& zone : event["zones"]) {
        (pv ? counts.zones[zone.asString()].pv : counts.zones[zone.asString()].vv) += 1;
      }
    }
    for (const std::string& line : test::lines_of(site({"runs", _config, "--jsonl"}).out)) {
      const Json::Value run = test::parse_json(line);
      const auto [day, shift] = run_day_shift.at(run["day"].asString());
      for (counted* into : {&counts.total, &counts.days[day], &counts.shifts[shift]}) {
        into->vehicle_ms += std::llround(run["vehicle_hours"].asDouble() * 3600000);
        into->person_ms += std::llround(run["person_hours"].asDouble() * 3600000);
        into->driving_ms += std::llround(run["driving_hours"].asDouble() * 3600000);
      }
    }
    return counts;
  }

  test::temp_folder m_dir;
};

TEST_F(SiteReportTest, CountsAndRatesByWorkDayShiftAndZone) {
  const std::vector<dom_element> dom = page({"site.toml", "--from", "2026-03-27", "--to", "2026-03-30"});
  const expected_counts counts = expected("site.toml", 0, "");
  ASSERT_GT(counts.total.pv + counts.total.vv, 20);
  expect_row(*of_class(dom, "total").at(0), counts.total, "the period");
  for (const auto& [day, day_counts] : counts.days) {
    const dom_element* row = row_where(dom, "day", "data-day", day);
    ASSERT_NE(row, nullptr) << day;
    expect_row(*row, day_counts, day);
  }
  const dom_element* missing = row_where(dom, "day not-recorded", "data-day", "2026-03-29");
  ASSERT_NE(missing, nullptr) << "a day without a recording is no day of zero events";
  EXPECT_EQ(row_where(dom, "day not-recorded", "data-day", "2026-03-28"), nullptr);
  EXPECT_EQ(number_of(by_id(dom, "period"), "data-recorded-days"), 3);
  EXPECT_EQ(number_of(by_id(dom, "period"), "data-days"), 4);
  for (const auto& [shift, shift_counts] : counts.shifts) {
    const dom_element* row = row_where(dom, "shift", "data-shift", shift);
    ASSERT_NE(row, nullptr) << shift;
    expect_row(*row, {shift_counts.pv, shift_counts.vv, shift_counts.vehicle_ms,
                      shift_counts.person_ms, shift_counts.driving_ms},
               shift);
  }
  for (const auto& [zone, zone_counts] : counts.zones) {
    const dom_element* row = row_where(dom, "zone", "data-zone", zone);
    ASSERT_NE(row, nullptr) << zone;
    EXPECT_EQ(number_of(*row, "data-pv"), zone_counts.pv) << zone;
    EXPECT_EQ(number_of(*row, "data-vv"), zone_counts.vv) << zone;
  }
  // The rate shown is the events per 100 vehicle-hours of the counts shown.
  const double rate = (counts.total.pv + counts.total.vv) * 100.0 /
                      (counts.total.vehicle_ms / 3600000.0);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", rate);
  const auto cells = of_class(dom, "n rate");
  ASSERT_FALSE(cells.empty());
  EXPECT_EQ(cells[0]->text, text);
  EXPECT_EQ(of_class(dom, "run").size(), 3U);
}

// The configuration's filters leave short events and a zone out of the page, never out of the
// store, and the page says so; runs of different settings are refused unless shown as such; two
// sites are compared.
TEST_F(SiteReportTest, FiltersMixedRunsAndTwoSites) {
  write_site("filtered.toml", "Hall", "[report]\nmin_duration_s = 2\nignore_zones = [\"East\"]\n");
  const std::vector<dom_element> dom = page({"filtered.toml"});
  const expected_counts counts = expected("filtered.toml", 2, "East");
  EXPECT_EQ(number_of(*of_class(dom, "total").at(0), "data-pv"), counts.total.pv);
  EXPECT_EQ(number_of(*of_class(dom, "total").at(0), "data-vv"), counts.total.vv);
  EXPECT_LT(counts.total.pv + counts.total.vv, expected("site.toml", 0, "").total.pv +
                                                   expected("site.toml", 0, "").total.vv);
  EXPECT_NE(by_id(dom, "filters").text.find("shorter than 2 s"), std::string::npos);

  write_site("other.toml", "Yard", "");
  std::string other = m_dir.read("other.toml");
  other.replace(other.find("history.db"), 10, "yard.db");
  other.replace(other.find("threshold_mm = 2000"), 19, "threshold_mm = 1500");
  m_dir.write("other.toml", other);
  ASSERT_EQ(site({"run", "other.toml", "-i", "d/positions.csv", "-a", "d/associations.json", "-t",
                  "d/trackables.json"})
                .status,
            0);
  const std::vector<dom_element> both = page({"site.toml", "other.toml"});
  EXPECT_EQ(of_class(both, "site").size(), 4U) << "a row a site, and a section a site";
  EXPECT_NE(row_where(both, "site", "data-site", "Yard"), nullptr);

  // A second run of Yard at another threshold: its period mixes settings.
  other.replace(other.find("threshold_mm = 1500"), 19, "threshold_mm = 2000");
  m_dir.write("other.toml", other);
  ASSERT_EQ(site({"run", "other.toml", "-i", "a/positions.csv", "-a", "a/associations.json", "-t",
                  "a/trackables.json"})
                .status,
            0);
  const test::run_result mixed = site({"report", "other.toml", "-o", "mixed.html"});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.err.find("differ: threshold 2000 mm"), std::string::npos) << mixed.err;
  EXPECT_FALSE(m_dir.exists("mixed.html"));
  EXPECT_EQ(site({"report", "other.toml", "site.toml", "--mixed-runs", "-o", "mixed.html"}).status,
            0);
  EXPECT_EQ(site({"report", "site.toml", "site.toml", "-o", "twice.html"}).status, 64);
}
}  // namespace
}  // namespace vela
