// vela-report end to end: its command line, messages and files; the escaping of text from the
// result; and its pages opened in headless Chromium, whose counts, marks, bars and tables are
// checked against the result they were made of, with and without filters in the address; zones
// counted by the test's own point in polygon; the floor plan, keys, print and provenance.
#include <gtest/gtest.h>
#include <json/json.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/optional.hpp>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "browser.hpp"
#include "report/floor_plan.hpp"
#include "report/report_page.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using namespace test;  // the DOM of pages and Chromium (browser.hpp)
using arguments = std::vector<std::string>;
constexpr const char* report_binary = VELA_REPORT;

// ---- What a result holds, read with another JSON library than the tool's ------------------------
struct fact_event {
  std::size_t number = 0;  // 1 for the first event
  std::int64_t start_ms = 0;
  std::int64_t duration_s = 0;
  std::int64_t distance_mm = 0;
  std::string uids[2];
  std::string drivers[2];   // empty for none
  std::string file;         // the result it came from, when the test sets it
  std::string kind;         // "person-vehicle", "vehicle-vehicle", "other" or "unknown"
  std::int64_t mark_x = 0;  // the midpoint of the two objects, in half millimetres
  std::int64_t mark_y = 0;
  std::set<std::string> zones;  // set by the test that draws zones
};

struct result_facts {
  std::vector<fact_event> events;
  std::map<std::string, std::string> names;  // by uid; empty for the standard output form
};

std::string kind_of(const std::string& _first, const std::string& _second) {
  if (_first == "VEHICLE" && _second == "VEHICLE") {
    return "vehicle-vehicle";
  }
  if ((_first == "PERSON" && _second == "VEHICLE") ||
      (_first == "VEHICLE" && _second == "PERSON")) {
    return "person-vehicle";
  }
  return "other";
}

result_facts facts_of(const std::string& _json) {
  const Json::Value root = test::parse_json(_json);
  const bool document = root.isObject();
  std::map<std::string, std::string> categories;
  result_facts facts;
  for (const Json::Value& object : document ? root["trackableObjects"] : Json::Value()) {
    categories[object["uid"].asString()] = object["category"].asString();
    facts.names[object["uid"].asString()] = object["name"].asString();
  }
  for (const Json::Value& event : document ? root["events"] : root) {
    fact_event fact;
    fact.number = facts.events.size() + 1;
    fact.start_ms = event["ts"].asInt64() * 1000 + event["ms"].asInt64();
    fact.duration_s = event["duration"].asInt64();
    fact.distance_mm = event["distance"].asInt64();
    for (int k = 0; k < 2; ++k) {
      fact.uids[k] = event["trackables"][k]["uid"].asString();
      fact.drivers[k] = event["trackables"][k]["driver_uid"].isString()
                            ? event["trackables"][k]["driver_uid"].asString()
                            : "";
      fact.mark_x += event["trackables"][k]["x"].asInt64();
      fact.mark_y += event["trackables"][k]["y"].asInt64();
    }
    fact.kind = document ? kind_of(categories[fact.uids[0]], categories[fact.uids[1]]) : "unknown";
    facts.events.push_back(fact);
  }
  return facts;
}

std::string lower(std::string _text) {
  std::transform(_text.begin(), _text.end(), _text.begin(),
                 [](unsigned char _c) { return static_cast<char>(std::tolower(_c)); });
  return _text;
}

// The filters as the page's address states them.
struct filter {
  std::string kind;
  boost::optional<std::int64_t> max_mm;
  std::string object;
  boost::optional<std::int64_t> from_ms;
  boost::optional<std::int64_t> to_ms;
  std::string zone = {};
};

bool passes(const fact_event& _event, const filter& _filter, const result_facts& _facts) {
  const auto matches = [&](const std::string& _uid) {
    const auto name = _facts.names.find(_uid);
    return lower(_uid).find(lower(_filter.object)) != std::string::npos ||
           (name != _facts.names.end() &&
            lower(name->second).find(lower(_filter.object)) != std::string::npos);
  };
  return (_filter.kind.empty() || _event.kind == _filter.kind) &&
         (!_filter.max_mm || _event.distance_mm <= *_filter.max_mm) &&
         (_filter.object.empty() || matches(_event.uids[0]) || matches(_event.uids[1])) &&
         (!_filter.from_ms || _event.start_ms >= *_filter.from_ms) &&
         (!_filter.to_ms || _event.start_ms <= *_filter.to_ms) &&
         (_filter.zone.empty() || _event.zones.count(_filter.zone) == 1);
}

// "2026-01-01 00:00:23" in UTC shifted by _offset_minutes.
std::string site_time(std::int64_t _ms, int _offset_minutes = 0) {
  const auto seconds =
      static_cast<std::time_t>((_ms + std::int64_t{_offset_minutes} * 60000) / 1000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// The civil time of _ms in _zone by the C library's own reading of the time-zone database:
// "2026-03-29 03:30:00", the weekday (0 for Monday) and the hour.
struct zone_reading {
  std::string text;
  int weekday = 0;
  int hour = 0;
  long offset_s = 0;
};

zone_reading in_zone(std::int64_t _ms, const std::string& _zone) {
  const char* before = std::getenv("TZ");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("TZ", _zone.c_str(), 1);
  ::tzset();
  const auto seconds = static_cast<std::time_t>(_ms / 1000);
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  before != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return {text, (parts.tm_wday + 6) % 7, parts.tm_hour, parts.tm_gmtoff};
}

// The instant (ms) that site time _text ("2026-10-25 02:30:00") stands for in _zone: the
// earliest that reads so; for a time the clocks skipped, the time read at the offset before.
std::int64_t zone_instant(const std::string& _text, const std::string& _zone) {
  std::tm parts{};
  ::strptime(_text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
  const std::int64_t as_utc = std::int64_t{::timegm(&parts)} * 1000;
  for (std::int64_t minutes = -26 * 60; minutes <= 26 * 60; minutes += 15) {  // earliest first
    const std::int64_t at = as_utc + minutes * 60000;
    if (in_zone(at, _zone).text == _text) {
      return at;
    }
  }
  return as_utc - in_zone(as_utc - 86400000, _zone).offset_s * 1000;
}

std::int64_t number(const dom_element& _element, const std::string& _name) {
  const std::string* value = attribute(_element, _name);
  EXPECT_NE(value, nullptr) << _element.tag << " without " << _name;
  return value == nullptr ? -1 : std::stoll(*value);
}

// The sum of attribute _name over _elements whose data-kind is _kind (any kind when empty).
std::int64_t total(const std::vector<const dom_element*>& _elements, const std::string& _name,
                   const std::string& _kind = "") {
  std::int64_t sum = 0;
  for (const dom_element* element : _elements) {
    if (_kind.empty() || has(*element, "data-kind", _kind)) {
      sum += number(*element, _name);
    }
  }
  return sum;
}

std::size_t marks_of_kind(const std::vector<dom_element>& _dom, const std::string& _kind) {
  const auto marks = of_class(_dom, "mark");
  return static_cast<std::size_t>(std::count_if(
      marks.begin(), marks.end(), [&](auto _mark) { return has(*_mark, "data-kind", _kind); }));
}

// The DOM of a page after its script ran (and its images loaded).
std::vector<dom_element> render(const test::temp_folder& _dir, const std::string& _page,
                                const std::string& _fragment = "") {
  const test::run_result run = chromium(
      _dir, {"--virtual-time-budget=3000", "--dump-dom", file_url(_dir.file(_page), _fragment)});
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<dom_element> dom = parse_dom(run.out);
  const auto body = std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "body"; });
  EXPECT_TRUE(body != dom.end() && has(*body, "data-state", "ready"))
      << "the page's script did not finish: " << by_id(dom, "page-error").text;
  return dom;
}

// ---- Fixtures -----------------------------------------------------------------------------------
class ReportTest : public testing::Test {
 protected:
  test::run_result report(const arguments& _args, const std::string& _prefix = "",
                          const std::string& _stdout = "") const {
    return test::run_in(m_dir, report_binary, _args, _prefix, _stdout);
  }
  // The names in the folder, sub-folders as "name/file".
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (boost::filesystem::recursive_directory_iterator it(m_dir.path()), end; it != end; ++it) {
      if (it->path().filename().string().rfind("chromium-profile-", 0) == 0) {
        it.disable_recursion_pending();
        continue;
      }
      if (!boost::filesystem::is_directory(it->path())) {
        names.insert(it->path().lexically_relative(m_dir.path()).string());
      }
    }
    return names;
  }
  // vela on copies of the bundled example at 2000 mm; the result in _name.
  void write_example_result(const std::string& _name, bool _document = true) const {
    for (const char* input : {"positions.csv", "trackables.json", "associations.json"}) {
      boost::filesystem::copy_file(std::string(VELA_EXAMPLE_DIR) + "/" + input, m_dir.file(input));
    }
    arguments args = {"-i", "positions.csv",     "-t", "trackables.json",
                      "-a", "associations.json", "-d", "2000"};
    if (_document) {
      args.insert(args.end(), {"-o", _name});
    }
    const test::run_result run = test::run_vela(m_dir, args);
    ASSERT_EQ(run.status, 0) << run.err;
    if (!_document) {
      m_dir.write(_name, run.out);
    }
  }

  test::temp_folder m_dir;
};

class ReportPageTest : public ReportTest {
 protected:
  void SetUp() override {
    if (browser_problem().empty()) {
      return;
    }
    if (std::getenv("CI") != nullptr) {
      FAIL() << "CI runs the browser tests, but " << browser_problem();
    }
    GTEST_SKIP() << "Skipped: headless Chromium cannot start here (scripts/bootstrap installs "
                    "it): "
                 << browser_problem();
  }
};

// A result written from parts: objects as uid/name/category, events as uid pairs.
struct made_event {
  std::string first;
  std::string second;
  std::int64_t distance_mm;
  std::int64_t ts;
  std::string driver;  // of the first object; none when empty
  std::string second_driver = {};
};

std::string made_result(const std::vector<std::vector<std::string>>& _objects,
                        const std::vector<made_event>& _events) {
  Json::Value root(Json::objectValue);
  Json::Value& events = root["events"] = Json::Value(Json::arrayValue);
  std::int64_t x = 1000;
  for (const made_event& made : _events) {
    Json::Value event(Json::objectValue);
    event["distance"] = Json::Int64{made.distance_mm};
    event["duration"] = 2;
    event["ms"] = 500;
    event["ts"] = Json::Int64{made.ts};
    event["type"] = "near-miss";
    for (const std::string& uid : {made.first, made.second}) {
      Json::Value object(Json::objectValue);
      object["uid"] = uid;
      object["x"] = Json::Int64{x += 1500};
      object["y"] = Json::Int64{x % 7000};
      const std::string& driver = uid == made.first ? made.driver : made.second_driver;
      object["driver_uid"] = driver.empty() ? Json::Value() : Json::Value(driver);
      event["trackables"].append(object);
    }
    events.append(event);
  }
  Json::Value& objects = root["trackableObjects"] = Json::Value(Json::arrayValue);
  for (const auto& parts : _objects) {
    Json::Value object(Json::objectValue);
    object["uid"] = parts[0];
    object["name"] = parts[1];
    object["category"] = parts[2];
    objects.append(object);
  }
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

// _count events between P1, V1 and V2 spread over a 100 m square, _per_second starting in each
// second; distance = number % 2000.
std::string many_events(std::size_t _count, std::size_t _per_second = 3) {
  std::ostringstream out;
  out << "{\"events\": [";
  std::uint64_t random = 12345;
  for (std::size_t k = 0; k < _count; ++k) {
    random = random * 6364136223846793005ULL + 1442695040888963407ULL;  // a fixed sequence
    const auto x = static_cast<std::int64_t>((random >> 20) % 100000);
    const auto y = static_cast<std::int64_t>((random >> 40) % 100000);
    out << (k == 0 ? "" : ",") << "{\"distance\": " << k % 2000 << ", \"duration\": 1, "
        << "\"ms\": " << k % 1000 << ", \"ts\": " << 1767225600 + k / _per_second
        << ", \"trackables\": [{\"driver_uid\": null, \"uid\": \"" << (k % 3 == 0 ? "V2" : "P1")
        << "\", \"x\": " << x << ", \"y\": " << y
        << "}, {\"driver_uid\": null, \"uid\": \"V1\", \"x\": " << x << ", \"y\": " << y
        << "}], \"type\": \"near-miss\"}";
  }
  out << "], \"trackableObjects\": [{\"uid\": \"P1\", \"name\": \"Anna\", \"category\": "
         "\"PERSON\"}, {\"uid\": \"V1\", \"name\": \"Forklift\", \"category\": \"VEHICLE\"}, "
         "{\"uid\": \"V2\", \"name\": \"Tug\", \"category\": \"VEHICLE\"}]}";
  return out.str();
}

// ---- The command line ---------------------------------------------------------------------------
TEST_F(ReportTest, PrintsHelpAndVersion) {
  const test::run_result help = report({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vela-report EVENTS.json", 0), 0U) << help.out;
  const test::run_result version = report({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("vela-report ") + VELA_VERSION + "\n");
}

TEST_F(ReportTest, RefusesBadUsageInOneLine) {
  m_dir.write("events.json", R"({"events": [], "trackableObjects": []})");
  const struct {
    arguments args;
    const char* message;
  } rows[] = {
      {{}, "no result given"},
      {{"events.json", "events.json"}, "-o is required when more than one result is given"},
      {{"events.json", "--utc-offset", "+01:00", "--time-zone", "Europe/Berlin"},
       "--utc-offset and --time-zone: give one of them, not both"},
      {{"events.json", "--time-zone", "Europe/Atlantis"},
       "--time-zone: 'Europe/Atlantis' is not a zone of the system's time-zone database"},
      {{"--frobnicate", "events.json"}, "unknown option '--frobnicate'"},
      {{"events.json", "-o"}, "'-o' needs a value"},
      {{"events.json", "--title"}, "'--title' needs a value"},
      {{"events.json", "--utc-offset", "5"}, "--utc-offset: expected +HH:MM or -HH:MM, not '5'"},
      {{"events.json", "--utc-offset=+24:00"},
       "--utc-offset: expected +HH:MM or -HH:MM, not '+24:00'"},
      {{"events.json", "--utc-offset", "+05:60"},
       "--utc-offset: expected +HH:MM or -HH:MM, not '+05:60'"},
      {{"events.json", "--utc-offset", "05:00"},
       "--utc-offset: expected +HH:MM or -HH:MM, not '05:00'"},
      {{"events.json", "--utc-offset", "+5:00"},
       "--utc-offset: expected +HH:MM or -HH:MM, not '+5:00'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const test::run_result run = report(row.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.err, std::string("vela-report: ") + row.message + " (see --help)\n");
    EXPECT_EQ(files(), std::set<std::string>{"events.json"});
  }
}

TEST_F(ReportTest, RefusesWhatIsNotAResultAndLeavesNoPage) {
  const std::string big = many_events(20000);  // several blocks of events written before the cut
  const struct {
    std::string content;
    std::string reason;
  } rows[] = {
      {"", "empty: no JSON document"},
      {"not json", "not JSON at byte offset 1: Invalid value"},
      {R"({"trackableObjects": []})", "not a vela result: no \"events\" array"},
      {big.substr(0, big.size() / 2), "truncated: the JSON document ends at byte offset " +
                                          std::to_string(big.size() / 2) +
                                          " before it is complete"},
      {R"([{"distance": 1, "duration": 1, "ms": 0, "ts": 2000000000000, "trackables": [
          {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}]}])",
       "event 1: \"ts\" is beyond what the page can show"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason);
    m_dir.write("bad.json", row.content);
    const test::run_result run = report({"bad.json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "vela-report: bad.json: " + row.reason + "\n");
    EXPECT_EQ(files(), std::set<std::string>{"bad.json"});
    EXPECT_EQ(m_dir.read("bad.json"), row.content);
  }
}

TEST_F(ReportTest, NamesAnInputItCannotRead) {
  boost::filesystem::create_directory(m_dir.file("folder"));
  const struct {
    const char* input;
    const char* message;
  } rows[] = {
      {"missing.json", "vela-report: missing.json: No such file or directory\n"},
      {"folder", "vela-report: folder: a folder without a .json result\n"},
      {"line\nbreak.json", "vela-report: line\\x0abreak.json: No such file or directory\n"},
      {"back\\slash\xff.json", "vela-report: back\\\\slash\\xff.json: No such file or directory\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    const test::run_result run = report({row.input});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, row.message);
    EXPECT_TRUE(files().empty());
  }
}

// Text from a file or a file's name reaches the terminal escaped in every message of vela-report
// and vela-summary, also where a library or a reader would quote it.
TEST_F(ReportTest, MessagesShowNamesAndTextFromFilesEscaped) {
  const std::string escape = "\x1b]0;x";
  boost::filesystem::create_directory(m_dir.file("d"));
  boost::filesystem::create_symlink("l" + escape + ".json", m_dir.file("d/l" + escape + ".json"));
  m_dir.write("events.json", R"({"events": [], "trackableObjects": []})");
  m_dir.write("zones.geojson",
              R"({"type": "FeatureCollection", "features": [{"type": "Feature", "properties": )"
              R"({"name": "a"}, "geometry": {"type": "\u001b]0;x", "coordinates": []}}]})");
  m_dir.write("late.json", R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [)"
                           R"({"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}],)"
                           R"( "\u001b]0;x": 0}, 18446744073709551615])");
  const struct {
    const char* binary;
    arguments args;
    int status;
    std::string message;
  } rows[] = {
      {report_binary,
       {"d", "-o", "page.html"},
       1,
       "vela-report: d/l\\x1b]0;x.json: Too many levels of symbolic links\n"},
      {report_binary,
       {"events.json", "--zones", "zones.geojson"},
       2,
       "vela-report: zones.geojson: feature 1: a \\x1b]0;x, not a Polygon or MultiPolygon\n"},
      {VELA_SUMMARY,
       {"--zones", "zones.geojson", "events.json"},
       2,
       "vela-summary: zones.geojson: feature 1: a \\x1b]0;x, not a Polygon or MultiPolygon\n"},
      {report_binary, {"late.json"}, 1, "vela-report: late.json: event 2 is not an object\n"},
      {VELA_SUMMARY, {"late.json"}, 1, "vela-summary: late.json: event 2 is not an object\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const test::run_result run = test::run_in(m_dir, row.binary, row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, row.message);
  }
}

TEST_F(ReportTest, WritesThePageBesideTheInputUnlessTold) {
  const std::string result = R"({"events": [], "trackableObjects": []})";
  boost::filesystem::create_directory(m_dir.file("sub"));
  const struct {
    const char* input;
    arguments more;
    const char* page;
  } rows[] = {
      {"events.json", {}, "events.html"},
      {"sub/events.json", {}, "sub/events.html"},
      {"a.b.json", {}, "a.b.html"},
      {"result", {}, "result.html"},
      {"page.html", {}, "page.html.html"},
      {".json", {}, ".json.html"},
      {"events.json.gz", {}, "events.html"},  // told compressed or not by its bytes, not its name
      {"sub/day.json.zst", {}, "sub/day.html"},
      {"events.json", {"-o", "sub/mine.html"}, "sub/mine.html"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.input) + " -> " + row.page);
    m_dir.write(row.input, result);
    m_dir.write(row.page, "\n <!doctype HTML><p>an older page");  // replaced
    arguments args = {row.input};
    args.insert(args.end(), row.more.begin(), row.more.end());
    const test::run_result run = report(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, std::string(row.page) + "\n");  // where the page went
    EXPECT_EQ(files(), (std::set<std::string>{row.input, row.page}));
    EXPECT_EQ(m_dir.read(row.input), result);
    EXPECT_EQ(m_dir.read(row.page).rfind("<!DOCTYPE html>", 0), 0U);
    boost::filesystem::remove(m_dir.file(row.input));
    boost::filesystem::remove(m_dir.file(row.page));
  }
}

// A copy of a result, compressed or not, would count its events twice: refused, as the same file
// named twice is, after both were read. Two quiet days hold the same and are both kept.
TEST_F(ReportTest, RefusesACopyOfAResultButKeepsQuietDays) {
  const std::string quiet = R"({"events": [], "trackableObjects": []})";
  boost::filesystem::create_directory(m_dir.file("copy"));
  m_dir.write("mon.json", many_events(20));
  m_dir.write("copy/mon.json", many_events(20));
  m_dir.write("tue.json", many_events(21));
  m_dir.write("sat.json", quiet);
  m_dir.write("copy/sun.json", quiet);
  ASSERT_EQ(std::system(
                ("gzip -c " + m_dir.file("mon.json") + " > " + m_dir.file("mon.json.gz")).c_str()),
            0);
  const struct {
    arguments args;
    const char* stdin_redirect;
    const char* refusal;  // none when the page is made
  } rows[] = {
      {{"mon.json", "tue.json", "copy/mon.json"},
       "",
       "the same result given twice: mon.json and copy/mon.json have the same content"},
      {{"mon.json.gz", "mon.json"},
       "",
       "the same result given twice: mon.json.gz and mon.json have the same content"},
      {{"mon.json", "-"},
       "< copy/mon.json",
       "the same result given twice: mon.json and standard input have the same content"},
      {{"sat.json", "copy/sun.json", "mon.json"}, "", nullptr},
      {{"copy", "mon.json"},
       "",
       "the same result given twice: copy/mon.json and mon.json have the same content"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.back());
    arguments args = row.args;
    args.insert(args.end(), {"-o", "week.html"});
    const test::run_result run = report(args, row.stdin_redirect);
    if (row.refusal != nullptr) {
      EXPECT_EQ(run.status, 64);
      EXPECT_EQ(run.err, std::string("vela-report: ") + row.refusal + " (see --help)\n");
      EXPECT_FALSE(m_dir.exists("week.html"));
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err, "week.html\n");
    }
    boost::filesystem::remove(m_dir.file("week.html"));
  }
  EXPECT_EQ(m_dir.read("mon.json"), m_dir.read("copy/mon.json"));
}

TEST_F(ReportTest, ReadsStandardInputIntoReportHtml) {
  const std::string result = R"([])";
  m_dir.write("events.json", result);
  const test::run_result run = report({"-"}, "", "< events.json > out.txt");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(files(), (std::set<std::string>{"events.json", "out.txt", "report.html"}));
  EXPECT_EQ(m_dir.read("report.html").rfind("<!DOCTYPE html>", 0), 0U);
}

TEST_F(ReportTest, NeverReplacesItsInput) {
  const std::string result = R"({"events": [], "trackableObjects": []})";
  m_dir.write("events.json", result);
  boost::filesystem::create_symlink("events.json", m_dir.file("link.html"));
  const struct {
    arguments args;
    std::string stdin_redirect;
    const char* message;
  } rows[] = {
      {{"events.json", "-o", "events.json"},
       "",
       "vela-report: events.json: is the result events.json; the page would replace it\n"},
      {{"events.json", "-o", "./events.json"},
       "",
       "vela-report: ./events.json: is the result events.json; the page would replace it\n"},
      {{"events.json", "-o", "link.html"},
       "",
       "vela-report: link.html: is the result events.json; the page would replace it\n"},
      {{"-", "-o", "events.json"},
       "< events.json > out.txt",
       "vela-report: events.json: is the result standard input; the page would replace it\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const test::run_result run = report(row.args, "", row.stdin_redirect);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, row.message);
    EXPECT_EQ(m_dir.read("events.json"), result);
    std::set<std::string> left = files();
    left.erase("out.txt");
    EXPECT_EQ(left, (std::set<std::string>{"events.json", "link.html"}));
  }
}

TEST_F(ReportTest, APageReplacesOnlyAPage) {
  const std::string result = R"({"events": [], "trackableObjects": []})";
  m_dir.write("thu.json", result);
  const struct {
    const char* earlier;  // in out.json
    arguments more;
    int status;
  } rows[] = {
      {"{\"events\": []}", {}, 1},
      {"id,ts\n", {}, 1},
      {"{\"events\": []}", {"--force"}, 0},
      {"", {}, 0},
      {" \n\t<!DOCTYPE html><p>last week", {}, 0},
      {"<HTML lang=en>", {}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.earlier);
    m_dir.write("out.json", row.earlier);
    arguments args = {"thu.json", "-o", "out.json"};
    args.insert(args.end(), row.more.begin(), row.more.end());
    const test::run_result run = report(args);
    EXPECT_EQ(run.status, row.status);
    if (row.status == 0) {
      EXPECT_EQ(run.err, "out.json\n");
      EXPECT_EQ(m_dir.read("out.json").rfind("<!DOCTYPE html>", 0), 0U);
    } else {
      EXPECT_EQ(run.err, "vela-report: out.json: not a page, so it is not replaced (it begins "
                         "with neither <!DOCTYPE html nor <html); --force replaces it\n");
      EXPECT_EQ(m_dir.read("out.json"), row.earlier);
    }
    EXPECT_EQ(files(), (std::set<std::string>{"thu.json", "out.json"}));
  }
}

// A signal while the page is made leaves no temporary file behind, and the earlier page.
TEST_F(ReportTest, AnInterruptedRunLeavesNoTemporaryFile) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    m_dir.write("page.html", "<html>earlier");
    ASSERT_EQ(::mkfifo(m_dir.file("r.fifo").c_str(), 0600), 0);
    const int fifo = ::open(m_dir.file("r.fifo").c_str(), O_RDWR);  // a result that never ends
    ASSERT_GE(fifo, 0);
    test::spawned_run report(m_dir, {"r.fifo", "-o", "page.html"}, VELA_REPORT);
    for (int waited = 0; waited < 600 && !m_dir.exists("page.html.tmp"); ++waited) {
      ::usleep(10000);
    }
    ASSERT_TRUE(m_dir.exists("page.html.tmp"));
    ASSERT_EQ(::kill(report.pid(), signal), 0);
    const test::run_result run = report.wait();
    ::close(fifo);
    EXPECT_EQ(run.status, 128 + signal);
    EXPECT_EQ(run.err, std::string("vela-report: interrupted by ") +
                           (signal == SIGINT ? "SIGINT" : "SIGTERM") + "\n");
    EXPECT_EQ(files(), (std::set<std::string>{"page.html", "r.fifo"}));
    EXPECT_EQ(m_dir.read("page.html"), "<html>earlier");
    boost::filesystem::remove(m_dir.file("r.fifo"));
  }
}

TEST_F(ReportTest, AFailedWriteLeavesNoPage) {
  const std::string result = many_events(3000);
  m_dir.write("events.json", result);
  boost::filesystem::create_directory(m_dir.file("folder"));
  const struct {
    arguments args;
    const char* prefix;
    const char* message;
  } rows[] = {
      {{"events.json", "-o", "missing/page.html"},
       "",
       "vela-report: missing/page.html: No such file or directory\n"},
      {{"events.json", "-o", "folder"}, "", "vela-report: folder: is a folder\n"},
      {{"events.json", "-o", "page.html"},
       "prlimit --fsize=20000",
       "vela-report: page.html: File too large\n"},
      {{"events.json", "-o", "/dev/full"}, "", "vela-report: /dev/full: No space left on device\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const test::run_result run = report(row.args, row.prefix);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, row.message);
    EXPECT_EQ(files(), std::set<std::string>{"events.json"});
    EXPECT_EQ(m_dir.read("events.json"), result);
  }
  struct stat full {};
  ASSERT_EQ(::stat("/dev/full", &full), 0);
  EXPECT_TRUE(S_ISCHR(full.st_mode)) << "/dev/full was replaced";
}

TEST_F(ReportTest, KeepsLinksAndDevicesInPlace) {
  const std::string result = R"({"events": [], "trackableObjects": []})";
  m_dir.write("events.json", result);
  m_dir.write("real.html", "<html><p>an older page");
  boost::filesystem::create_symlink("real.html", m_dir.file("link.html"));
  const test::run_result linked = report({"events.json", "-o", "link.html"});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(boost::filesystem::is_symlink(m_dir.file("link.html")));
  EXPECT_EQ(m_dir.read("real.html").rfind("<!DOCTYPE html>", 0), 0U);
  EXPECT_EQ(files(), (std::set<std::string>{"events.json", "link.html", "real.html"}));

  const test::run_result discarded = report({"events.json", "-o", "/dev/null"});
  EXPECT_EQ(discarded.status, 0) << discarded.err;
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  EXPECT_TRUE(S_ISCHR(null.st_mode)) << "/dev/null was replaced";

  // Standard output captured in a file: the page goes there, /dev/stdout stays what it was.
  const test::run_result printed = report({"events.json", "-o", "/dev/stdout"});
  EXPECT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.out.rfind("<!DOCTYPE html>", 0), 0U);
  EXPECT_EQ(printed.out.substr(printed.out.size() - 8), "</html>\n");
  EXPECT_TRUE(boost::filesystem::is_symlink("/dev/stdout"));
  EXPECT_EQ(m_dir.read("events.json"), result);
}

const std::vector<std::vector<std::string>> hostile_objects = {
    {"V1\"><img src=x onerror=alert(1)>", "</script><script>alert(2)</script>", "VEHICLE"},
    {"<script>alert(3)</script>", "<!-- \"quoted\" & 'single' \xE2\x80\xA8 -->", "VEHICLE"},
    {"P' onmouseover='alert(4)", "<b onclick=\"alert(5)\">Anna</b>", "PERSON"},
};
const std::vector<std::vector<std::string>> plain_objects = {
    {"V1", "Forklift", "VEHICLE"}, {"V2", "Tug", "VEHICLE"}, {"P1", "Anna", "PERSON"}};

std::string pairs_result(const std::vector<std::vector<std::string>>& _objects) {
  const std::string& v1 = _objects[0][0];
  const std::string& v2 = _objects[1][0];
  const std::string& p1 = _objects[2][0];
  return made_result(_objects, {{v1, p1, 120, 1767225600, p1},
                                {v2, v1, 640, 1767225660, ""},
                                {p1, v2, 1500, 1767225720, ""},
                                {v1, v2, 30, 1767225780, p1}});
}

TEST_F(ReportTest, PageDataCannotEndItsScriptsAndNeedsNoNetwork) {
  m_dir.write("events.json", pairs_result(hostile_objects));
  ASSERT_EQ(report({"events.json", "--title", "</title><script>alert(6)</script>"}).status, 0);
  const std::string page = m_dir.read("events.html");
  std::string markup;  // the page without the content of its data scripts
  std::size_t copied = 0;
  std::size_t scripts = 0;
  for (std::size_t at = page.find("<script"); at != std::string::npos;
       at = page.find("<script", at + 1)) {
    ++scripts;
    const std::size_t content = page.find('>', at) + 1;
    const std::size_t end = page.find("</script>", content);
    ASSERT_NE(end, std::string::npos);
    const std::string data_script = "<script type=\"application/json\"";
    if (page.compare(at, data_script.size(), data_script) == 0) {
      EXPECT_EQ(page.substr(content, end - content).find('<'), std::string::npos)
          << "data holds '<': " << page.substr(content, end - content);
      markup += page.substr(copied, content - copied);
      copied = end;
    }
  }
  markup += page.substr(copied);
  EXPECT_EQ(scripts, 6U)
      << "meta, one block of events, the result's objects, the uids, provenance, the program";
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  // Nothing to fetch: no source, link, import or address in the page but the SVG namespace.
  for (const char* remote : {"src=", "href=", "url(", "@import", "<link", "https:"}) {
    EXPECT_EQ(markup.find(remote), std::string::npos) << remote;
  }
  for (std::size_t at; (at = markup.find("http://www.w3.org/2000/svg")) != std::string::npos;) {
    markup.erase(at, 26);
  }
  EXPECT_EQ(markup.find("http:"), std::string::npos);
}

// ---- Pages in the browser -----------------------------------------------------------------------
struct shown_counts {
  std::int64_t total = 0;
  std::int64_t person_vehicle = 0;
  std::int64_t vehicle_vehicle = 0;
  std::int64_t below_500 = 0;
  std::int64_t from_500_to_1000 = 0;
  std::int64_t above_1000 = 0;
  std::int64_t seconds = 0;
};

// The time with at least one of _events going on, overlaps once, in whole seconds (half up).
std::int64_t covered_seconds(std::vector<const fact_event*> _events) {
  std::sort(_events.begin(), _events.end(),
            [](auto _e, auto _f) { return _e->start_ms < _f->start_ms; });
  std::int64_t ms = 0;
  for (std::size_t k = 0; k < _events.size();) {  // one run of overlapping events at a time
    const std::int64_t from = _events[k]->start_ms;
    std::int64_t to = from;
    for (; k < _events.size() && _events[k]->start_ms <= to; ++k) {
      to = std::max(to, _events[k]->start_ms + 1000 * _events[k]->duration_s);
    }
    ms += to - from;
  }
  return (ms + 500) / 1000;
}

shown_counts expected_counts(const result_facts& _facts, const filter& _filter = {}) {
  shown_counts counts;
  std::vector<const fact_event*> passing;
  for (const fact_event& event : _facts.events) {
    if (!passes(event, _filter, _facts)) {
      continue;
    }
    passing.push_back(&event);
    ++counts.total;
    counts.person_vehicle += event.kind == "person-vehicle" ? 1 : 0;
    counts.vehicle_vehicle += event.kind == "vehicle-vehicle" ? 1 : 0;
    ++(event.distance_mm < 500     ? counts.below_500
       : event.distance_mm <= 1000 ? counts.from_500_to_1000
                                   : counts.above_1000);
  }
  counts.seconds = covered_seconds(passing);
  return counts;
}

// The header, the marks and the bars of _dom against the events of _facts that pass _filter.
void check_page(const std::vector<dom_element>& _dom, const result_facts& _facts,
                const filter& _filter = {}) {
  const shown_counts want = expected_counts(_facts, _filter);
  EXPECT_EQ(number(by_id(_dom, "count-total"), "data-count"), want.total);
  EXPECT_EQ(number(by_id(_dom, "count-person-vehicle"), "data-count"), want.person_vehicle);
  EXPECT_EQ(number(by_id(_dom, "count-vehicle-vehicle"), "data-count"), want.vehicle_vehicle);
  EXPECT_EQ(number(by_id(_dom, "count-below-500"), "data-count"), want.below_500);
  EXPECT_EQ(number(by_id(_dom, "count-500-1000"), "data-count"), want.from_500_to_1000);
  EXPECT_EQ(number(by_id(_dom, "count-above-1000"), "data-count"), want.above_1000);
  EXPECT_EQ(number(by_id(_dom, "total-duration"), "data-seconds"), want.seconds);
  // One mark per event, the very events that pass.
  std::set<std::int64_t> marked;
  for (const dom_element* mark : of_class(_dom, "mark")) {
    marked.insert(number(*mark, "data-event"));
  }
  std::set<std::int64_t> passing;
  for (const fact_event& event : _facts.events) {
    if (passes(event, _filter, _facts)) {
      passing.insert(static_cast<std::int64_t>(event.number));
    }
  }
  EXPECT_EQ(marked, passing);
  EXPECT_EQ(of_class(_dom, "mark").size(), passing.size());
  EXPECT_EQ(marks_of_kind(_dom, "person-vehicle"), static_cast<std::size_t>(want.person_vehicle));
  EXPECT_EQ(marks_of_kind(_dom, "vehicle-vehicle"), static_cast<std::size_t>(want.vehicle_vehicle));
  const auto bars = of_class(_dom, "bar");
  EXPECT_EQ(total(bars, "data-count", "person-vehicle"), want.person_vehicle);
  EXPECT_EQ(total(bars, "data-count", "vehicle-vehicle"), want.vehicle_vehicle);
}

// The command that explains _event: its pair, from 10 s before its start to 10 s after its end,
// in UTC.
std::string explain_command(const fact_event& _event, const std::string& _threshold) {
  std::string from = site_time(_event.start_ms / 1000 * 1000 - 10000);
  std::string to = site_time(_event.start_ms + 1000 * _event.duration_s + 10000);
  from[10] = to[10] = 'T';
  return "vela-explain -i POSITIONS -t TRACKABLES -a ASSOCIATIONS -d " + _threshold + " " +
         _event.uids[0] + " " + _event.uids[1] + " --from " + from + "Z --to " + to + "Z";
}

// The closest event that passes _filter is the first row of the closest approaches.
void check_closest_row(const std::vector<dom_element>& _dom, const result_facts& _facts,
                       const filter& _filter = {}, const std::string& _threshold = "DISTANCE_MM") {
  std::int64_t closest = -1;
  for (const fact_event& event : _facts.events) {
    if (passes(event, _filter, _facts) && (closest < 0 || event.distance_mm < closest)) {
      closest = event.distance_mm;
    }
  }
  const auto rows = of_class(_dom, "closest-row");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(number(*rows[0], "data-distance"), closest);
  const std::int64_t first = number(*rows[0], "data-event");
  ASSERT_GE(first, 1);
  ASSERT_LE(first, static_cast<std::int64_t>(_facts.events.size()));
  EXPECT_EQ(_facts.events[static_cast<std::size_t>(first - 1)].distance_mm, closest);
  for (std::size_t k = 1; k < rows.size(); ++k) {
    EXPECT_LE(number(*rows[k - 1], "data-distance"), number(*rows[k], "data-distance"));
  }
  // Each row gives the command that explains its event, in parts that keep an option with its
  // value.
  std::vector<std::string> commands;
  for (const dom_element& element : _dom) {
    if (element.tag == "code") {
      commands.emplace_back();
    } else if ((has(element, "class", "part") || has(element, "class", "part long")) &&
               !commands.empty()) {
      commands.back() += (commands.back().empty() ? "" : " ") + element.text;
    }
  }
  ASSERT_EQ(commands.size(), rows.size());
  EXPECT_EQ(commands[0],
            explain_command(_facts.events[static_cast<std::size_t>(first - 1)], _threshold));
}

TEST_F(ReportPageTest, ShowsTheBundledExample) {
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  const result_facts facts = facts_of(m_dir.read("events.json"));
  ASSERT_GT(facts.events.size(), 100U);
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  check_page(dom, facts);
  check_closest_row(dom, facts);
  EXPECT_TRUE(has(by_id(dom, "plot"), "data-mode", "marks"));

  // The period: from the first start to the last end.
  std::int64_t first = facts.events.front().start_ms;
  std::int64_t last = first;
  std::map<std::pair<std::string, std::string>, std::int64_t> per_pair;
  std::map<std::string, std::int64_t> per_object;
  for (const fact_event& event : facts.events) {
    first = std::min(first, event.start_ms);
    last = std::max(last, event.start_ms + 1000 * event.duration_s);
    ++per_pair[std::minmax(event.uids[0], event.uids[1])];
    ++per_object[event.uids[0]];
    ++per_object[event.uids[1]];
  }
  EXPECT_EQ(by_id(dom, "period").text, "Period: " + site_time(first) + " to " + site_time(last) +
                                           " (site time, UTC), from the first start to "
                                           "the last end.");
  const auto busiest = [](const auto& _counts) {
    std::int64_t most = 0;
    for (const auto& [key, count] : _counts) {
      most = std::max(most, count);
    }
    return most;
  };
  ASSERT_FALSE(of_class(dom, "pair-row").empty());
  EXPECT_EQ(number(*of_class(dom, "pair-row")[0], "data-count"), busiest(per_pair));
  ASSERT_FALSE(of_class(dom, "object-row").empty());
  EXPECT_EQ(number(*of_class(dom, "object-row")[0], "data-count"), busiest(per_object));

  // A picture of the page, kept in the build folder for people to look at.
  const std::string png = std::string(VELA_BUILD_DIR) + "/report-example.png";
  boost::filesystem::remove(png);
  const test::run_result shot = chromium(m_dir, {"--screenshot=" + png, "--window-size=1280,2000",
                                                 file_url(m_dir.file("events.html"))});
  EXPECT_EQ(shot.status, 0) << shot.err;
  std::ifstream in(png, std::ios::binary);
  std::string picture((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(picture.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(picture.size(), 50000U) << "a page with its plot is no small picture";
}

TEST_F(ReportPageTest, FiltersInTheAddressSelectTheEvents) {
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  const result_facts facts = facts_of(m_dir.read("events.json"));
  const std::int64_t minute_5 = (1767225600 + 300) * std::int64_t{1000};
  const struct {
    const char* fragment;
    filter selection;
    const char* unread;  // what the page says it cannot read, if anything
  } rows[] = {
      {"kind=vehicle-vehicle&max=500", {"vehicle-vehicle", 500, "", {}, {}}, nullptr},
      {"kind=person-vehicle", {"person-vehicle", {}, "", {}, {}}, nullptr},
      {"max=1000", {"", 1000, "", {}, {}}, nullptr},
      {"obj=v0007", {"", {}, "v0007", {}, {}}, nullptr},
      {"obj=forklift%205", {"", {}, "forklift 5", {}, {}}, nullptr},
      {"from=2026-01-01T00:05:00&to=2026-01-01T00:09:59",
       {"", {}, "", minute_5, minute_5 + 299000},
       nullptr},
      {"max=abc&colour=red", {}, "max=abc (not a distance"},
      // A day that does not exist is not read as another one.
      {"max=500&from=2026-02-30T00:00", {"", 500, "", {}, {}}, "from=2026-02-30T00:00 (not a"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fragment);
    ASSERT_GT(expected_counts(facts, row.selection).total, 0);
    const std::vector<dom_element> dom = render(m_dir, "events.html", row.fragment);
    check_page(dom, facts, row.selection);
    check_closest_row(dom, facts, row.selection);
    const dom_element& note = by_id(dom, row.unread != nullptr ? "address-note" : "filter-note");
    EXPECT_EQ(attribute(note, "hidden"), nullptr) << "the page says what it shows";
    if (row.unread != nullptr) {
      EXPECT_NE(note.text.find(row.unread), std::string::npos) << note.text;
    }
  }
}

// As a person would: values typed or chosen in the form, or the form reset. The view and the
// address follow, so that the address can be shared.
TEST_F(ReportPageTest, TheFormUpdatesTheViewAndTheAddress) {
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  const result_facts facts = facts_of(m_dir.read("events.json"));
  const std::string page = m_dir.read("events.html");
  const struct {
    const char* start;    // the address the page opens with
    const char* actions;  // script run once the page is drawn
    const char* address;  // the address afterwards
    filter selection;
  } rows[] = {
      {"",
       "set('filter-max', '500', 'input'); set('filter-kind', 'vehicle-vehicle', 'change');",
       "#kind=vehicle-vehicle&max=500",
       {"vehicle-vehicle", 500, "", {}, {}}},
      {"",
       "set('filter-obj', 'Forklift 5', 'input');",
       "#obj=Forklift+5",
       {"", {}, "forklift 5", {}, {}}},
      {"",
       "set('filter-from', '2026-01-01T00:05:00', 'change');",
       "#from=2026-01-01T00%3A05%3A00",
       {"", {}, "", (1767225600 + 300) * std::int64_t{1000}, {}}},
      {"max=500&obj=v0007", "document.getElementById('filter-reset').click();", "", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.actions);
    const std::string driver =
        "<script>window.addEventListener('load', function () {"
        "  function set(id, value, type) {"
        "    const field = document.getElementById(id);"
        "    field.value = value;"
        "    field.dispatchEvent(new Event(type, {bubbles: true}));"
        "  }" +
        std::string(row.actions) +
        "  setTimeout(function () {"
        "    document.body.setAttribute('data-address', location.hash);"
        "  }, 100);"
        "});</script>";
    std::string driven = page;
    driven.insert(driven.rfind("</body>"), driver);
    m_dir.write("driven.html", driven);
    const test::run_result run = chromium(m_dir, {"--virtual-time-budget=5000", "--dump-dom",
                                                  file_url(m_dir.file("driven.html"), row.start)});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<dom_element> dom = parse_dom(run.out);
    const auto body =
        std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "body"; });
    ASSERT_NE(body, dom.end());
    ASSERT_NE(attribute(*body, "data-address"), nullptr) << "the actions did not run";
    EXPECT_EQ(*attribute(*body, "data-address"), row.address);
    check_page(dom, facts, row.selection);
  }
}

TEST_F(ReportPageTest, NamesWithMarkupStayText) {
  const std::string title = "</title><script>alert(6)</script>";
  const std::string input = "a<b>&\"c'.json";
  m_dir.write(input, pairs_result(hostile_objects));
  m_dir.write("plain.json", pairs_result(plain_objects));
  ASSERT_EQ(report({input, "--title", title}).status, 0);
  ASSERT_EQ(report({"plain.json", "--title", "Plain"}).status, 0);
  const std::vector<dom_element> hostile = render(m_dir, "a<b>&\"c'.html");
  const std::vector<dom_element> plain = render(m_dir, "plain.html");
  // The same elements with the same attributes: nothing in the names became markup.
  ASSERT_EQ(hostile.size(), plain.size());
  for (std::size_t k = 0; k < hostile.size(); ++k) {
    SCOPED_TRACE("element " + std::to_string(k) + ": " + hostile[k].tag);
    EXPECT_EQ(hostile[k].tag, plain[k].tag);
    ASSERT_EQ(hostile[k].attributes.size(), plain[k].attributes.size());
    for (std::size_t a = 0; a < hostile[k].attributes.size(); ++a) {
      const auto& [name, value] = hostile[k].attributes[a];
      EXPECT_EQ(name, plain[k].attributes[a].first);
      // The file's own name, size and time, and when the page was made; the uids of the
      // rankings, their links and the choices of driver and result; a long uid of a command,
      // which may break anywhere.
      const bool command_part = name == "class" && value.rfind("part", 0) == 0;
      if (!has(hostile[k], "class", "provenance-input") && name != "data-made" &&
          name != "data-uid" && name != "data-link" && name != "href" && name != "value" &&
          !command_part) {
        EXPECT_EQ(value, plain[k].attributes[a].second) << name;
      }
    }
  }
  std::set<std::string> uids;
  for (const auto& object : hostile_objects) {
    uids.insert(object[0]);
  }
  const auto drivers = of_class(hostile, "driver-row");
  ASSERT_EQ(drivers.size(), 1U);
  for (const auto* row : of_class(hostile, "vehicle-row")) {
    EXPECT_EQ(uids.count(*attribute(*row, "data-uid")), 1U) << *attribute(*row, "data-uid");
  }
  // A driver's link shows its events, whatever its uid holds.
  EXPECT_TRUE(has(*drivers[0], "data-uid", hostile_objects[2][0]));
  const std::vector<dom_element> driven =
      render(m_dir, "a<b>&\"c'.html", attribute(*drivers[0], "data-link")->substr(1));
  EXPECT_EQ(number(by_id(driven, "count-total"), "data-count"), number(*drivers[0], "data-count"));
  EXPECT_NE(attribute(by_id(driven, "address-note"), "hidden"), nullptr) << "the link is read";
  EXPECT_TRUE(has(*of_class(hostile, "provenance-input")[0], "data-name", input));
  // And the names read as they are written.
  std::set<std::string> texts;
  for (const dom_element& element : hostile) {
    texts.insert(element.text);
  }
  for (const auto& object : hostile_objects) {
    SCOPED_TRACE(object[0]);
    EXPECT_EQ(texts.count(object[1]), 1U) << "the name as text";
    EXPECT_EQ(texts.count(object[0] + ", " + lower(object[2])), 1U) << "the uid as text";
  }
  EXPECT_EQ(texts.count("driven by " + hostile_objects[2][1] + " (" + hostile_objects[2][0] + ")"),
            1U);
  EXPECT_EQ(by_id(hostile, "title").text, title);
  EXPECT_EQ(by_id(hostile, "source").text, input);
  const auto head_title = std::find_if(hostile.begin(), hostile.end(),
                                       [](const dom_element& _e) { return _e.tag == "title"; });
  ASSERT_NE(head_title, hostile.end());
  EXPECT_EQ(head_title->text, title);
  check_page(hostile, facts_of(m_dir.read(input)));
}

TEST_F(ReportPageTest, ShowsTheStandardOutputFormByUid) {
  write_example_result("stdout.json", false);
  const result_facts facts = facts_of(m_dir.read("stdout.json"));
  ASSERT_GT(facts.events.size(), 100U);
  ASSERT_EQ(report({"-"}, "", "< stdout.json > out.txt").status, 0);
  for (const char* page : {"report.html", "stdout.html"}) {
    SCOPED_TRACE(page);
    if (std::string(page) == "stdout.html") {
      ASSERT_EQ(report({"stdout.json"}).status, 0);
    }
    const std::vector<dom_element> dom = render(m_dir, page);
    EXPECT_EQ(number(by_id(dom, "count-total"), "data-count"),
              static_cast<std::int64_t>(facts.events.size()));
    EXPECT_EQ(by_id(dom, "count-person-vehicle").text, "unknown");
    EXPECT_EQ(marks_of_kind(dom, "unknown"), facts.events.size());
    EXPECT_EQ(attribute(by_id(dom, "form-note"), "hidden"), nullptr) << "says kinds are unknown";
    check_closest_row(dom, facts);
    const auto names = of_class(dom, "name");
    ASSERT_FALSE(names.empty());
    EXPECT_TRUE(names[0]->text.rfind("V0", 0) == 0 || names[0]->text.rfind("P0", 0) == 0)
        << "objects shown by uid: " << names[0]->text;
    EXPECT_EQ(by_id(dom, "source").text,
              std::string(page) == "report.html" ? "standard input" : "stdout.json");
  }
}

TEST_F(ReportPageTest, SaysSoWhenThereAreNoEvents) {
  m_dir.write("document.json", R"({"events": [], "trackableObjects": [
      {"uid": "P1", "name": "Anna", "category": "PERSON"}]})");
  m_dir.write("bare.json", "[\n]\n");
  for (const char* input : {"document.json", "bare.json"}) {
    SCOPED_TRACE(input);
    ASSERT_EQ(report({input}).status, 0);
    const std::string page = std::string(input).substr(0, std::string(input).find('.')) + ".html";
    const std::vector<dom_element> dom = render(m_dir, page);
    for (const dom_element& element : dom) {
      if (element.tag == "script" || element.tag == "style") {
        continue;
      }
      for (const char* broken : {"NaN", "Infinity", "undefined"}) {
        EXPECT_EQ(element.text.find(broken), std::string::npos) << element.tag << ": " << broken;
        for (const auto& [name, value] : element.attributes) {
          EXPECT_EQ(value.find(broken), std::string::npos) << name << "=" << value;
        }
      }
    }
    EXPECT_EQ(number(by_id(dom, "count-total"), "data-count"), 0);
    const dom_element& note = by_id(dom, "empty-note");
    EXPECT_EQ(note.text, "No near-miss events in this result.");
    EXPECT_EQ(attribute(note, "hidden"), nullptr);
    EXPECT_TRUE(has(by_id(dom, "plot"), "data-mode", "empty"));
    EXPECT_NE(attribute(by_id(dom, "plot"), "hidden"), nullptr);
    EXPECT_TRUE(of_class(dom, "mark").empty());
    EXPECT_TRUE(of_class(dom, "bar").empty());
    EXPECT_TRUE(of_class(dom, "closest-row").empty());
  }
}

TEST_F(ReportPageTest, DrawsManyEventsAsADensityGrid) {
  const std::size_t count = 10000;  // more than one block of events in the page
  m_dir.write("events.json", many_events(count));
  ASSERT_EQ(report({"events.json"}).status, 0);
  const result_facts facts = facts_of(m_dir.read("events.json"));
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  EXPECT_TRUE(has(by_id(dom, "plot"), "data-mode", "grid"));
  EXPECT_TRUE(of_class(dom, "mark").empty());
  const auto cells = of_class(dom, "cell");
  const shown_counts want = expected_counts(facts);
  EXPECT_EQ(total(cells, "data-count"), static_cast<std::int64_t>(count));
  std::int64_t person_vehicle = 0;
  for (const dom_element* cell : cells) {
    const std::string* value = attribute(*cell, "data-person-vehicle");
    person_vehicle += value != nullptr ? std::stoll(*value) : 0;
  }
  EXPECT_EQ(person_vehicle, want.person_vehicle);
  // The key's square, counted again: each event in the square of its mark.
  const dom_element& key = by_id(dom, "plot-key");
  ASSERT_TRUE(has(key, "data-key", "density"));
  const double side = std::stod(*attribute(key, "data-cell-metres"));
  std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> per_square;
  for (const fact_event& event : facts.events) {
    const auto square = [&](std::int64_t _sum) {
      return static_cast<std::int64_t>(std::floor(static_cast<double>(_sum) / 2 / 1000 / side));
    };
    ++per_square[{square(event.mark_x), square(event.mark_y)}];
  }
  std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> shown;
  for (const dom_element* cell : cells) {
    shown[{number(*cell, "data-column"), number(*cell, "data-row")}] = number(*cell, "data-count");
  }
  EXPECT_EQ(shown, per_square);
  const auto labels = of_class(dom, "key-cell");
  ASSERT_EQ(labels.size(), 1U);
  EXPECT_EQ(labels[0]->text, "Events per square of " + *attribute(key, "data-cell-metres") +
                                 " m × " + *attribute(key, "data-cell-metres") + " m:");
  EXPECT_EQ(total(of_class(dom, "bar"), "data-count"), static_cast<std::int64_t>(count));
  EXPECT_EQ(number(by_id(dom, "count-total"), "data-count"), static_cast<std::int64_t>(count));
  check_closest_row(dom, facts);

  // Filtered down to a few, the same page marks them one by one.
  const filter close = {"", 150, "", {}, {}};
  const std::vector<dom_element> few = render(m_dir, "events.html", "max=150");
  EXPECT_TRUE(has(by_id(few, "plot"), "data-mode", "marks"));
  check_page(few, facts, close);
}

TEST_F(ReportPageTest, ShowsSiteTimeAtTheGivenOffset) {
  m_dir.write("events.json", pairs_result(plain_objects));  // 4 events from 2026-01-01 00:00 UTC
  ASSERT_EQ(report({"events.json", "--utc-offset", "-05:30"}).status, 0);
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  const auto rows = of_class(dom, "closest-row");
  ASSERT_FALSE(rows.empty());
  // The closest event (30 mm) started at 00:03:00.500 UTC.
  const auto time = std::find_if(dom.begin(), dom.end(),
                                 [&](const dom_element& _e) { return has(_e, "class", "time"); });
  ASSERT_NE(time, dom.end());
  EXPECT_EQ(time->text, "2025-12-31 18:33:00.500");
  EXPECT_EQ(by_id(dom, "period").text,
            "Period: 2025-12-31 18:30:00 to 2025-12-31 18:33:02 (site time, UTC-05:30), from the "
            "first start to the last end.");
}

// The trend's bars as the page counts them: (day, kind) -> events.
std::map<std::pair<std::string, std::string>, std::int64_t> shown_days(
    const std::vector<dom_element>& _dom) {
  std::map<std::pair<std::string, std::string>, std::int64_t> days;
  for (const dom_element* bar : of_class(_dom, "trend-bar")) {
    days[{*attribute(*bar, "data-day"), *attribute(*bar, "data-kind")}] +=
        number(*bar, "data-count");
  }
  return days;
}

// The hours of the week as the page counts them: (weekday, hour) -> events, empty ones left out.
std::map<std::pair<int, int>, std::int64_t> shown_hours(const std::vector<dom_element>& _dom) {
  std::map<std::pair<int, int>, std::int64_t> hours;
  for (const dom_element* cell : of_class(_dom, "hour-cell")) {
    if (number(*cell, "data-count") > 0) {
      hours[{static_cast<int>(number(*cell, "data-weekday")),
             static_cast<int>(number(*cell, "data-hour"))}] = number(*cell, "data-count");
    }
  }
  return hours;
}

// The same, counted here from the events of _facts that pass _filter, in _zone's civil time.
void expect_days_and_hours(const std::vector<dom_element>& _dom, const result_facts& _facts,
                           const std::string& _zone, const filter& _filter = {}) {
  std::map<std::pair<std::string, std::string>, std::int64_t> days;
  std::map<std::pair<int, int>, std::int64_t> hours;
  for (const fact_event& event : _facts.events) {
    if (passes(event, _filter, _facts)) {
      const zone_reading site = in_zone(event.start_ms, _zone);
      ++days[{site.text.substr(0, 10), event.kind}];
      ++hours[{site.weekday, site.hour}];
    }
  }
  EXPECT_EQ(shown_days(_dom), days);
  EXPECT_EQ(shown_hours(_dom), hours);
  std::map<int, std::int64_t> by_hour;
  for (const auto& [when, count] : hours) {
    by_hour[when.second] += count;
  }
  for (const dom_element* cell : of_class(_dom, "hour-total")) {
    const int hour = static_cast<int>(number(*cell, "data-hour"));
    EXPECT_EQ(number(*cell, "data-count"), by_hour[hour]) << hour << ":00";
  }
}

// The text of the first time cell after the first element of class _row.
std::string first_time_in(const std::vector<dom_element>& _dom, const std::string& _row) {
  const auto row = std::find_if(_dom.begin(), _dom.end(),
                                [&](const dom_element& _e) { return has(_e, "class", _row); });
  const auto time =
      std::find_if(row, _dom.end(), [](const dom_element& _e) { return has(_e, "class", "time"); });
  return time != _dom.end() ? time->text : "";
}

// Site time in a zone with daylight saving time: times, days and hours of day follow its
// clocks, and a time typed in a filter is read back in them.
TEST_F(ReportPageTest, FollowsDaylightSavingTimeInTheSiteZone) {
  const std::string zone = "Europe/Berlin";
  // Around 01:00 UTC on the last Sunday of March 2026, when the clocks go forward: an evening
  // that is the next day in Berlin, an event before the change and one after it (the closest),
  // then an evening that is the next day again.
  const std::int64_t march = 1774740600;  // 2026-03-28 23:30 UTC
  m_dir.write("march.json", made_result(plain_objects, {{"V1", "P1", 900, march, ""},
                                                        {"V1", "P1", 800, march + 3600, ""},
                                                        {"V1", "P1", 100, march + 7200, ""},
                                                        {"V2", "P1", 700, march + 169200, ""}}));
  // The night the clocks go back: 02:30 comes twice.
  const std::int64_t october = 1792886400;  // 2026-10-25 00:00 UTC
  m_dir.write("october.json", made_result(plain_objects, {{"V1", "P1", 900, october, ""},
                                                          {"V1", "P1", 800, october + 1800, ""},
                                                          {"V1", "P1", 700, october + 5400, ""}}));
  for (const char* result : {"march.json", "october.json"}) {
    ASSERT_EQ(report({result, "--time-zone", zone}).status, 0);
  }
  const result_facts spring = facts_of(m_dir.read("march.json"));
  const std::vector<dom_element> dom = render(m_dir, "march.html");
  check_page(dom, spring);
  const fact_event& closest = spring.events[2];
  ASSERT_EQ(in_zone(closest.start_ms, zone).text.substr(11, 5), "03:30") << "summer time";
  EXPECT_EQ(first_time_in(dom, "closest-row"), in_zone(closest.start_ms, zone).text + ".500");
  EXPECT_NE(by_id(dom, "period").text.find("(site time, Europe/Berlin)"), std::string::npos);
  expect_days_and_hours(dom, spring, zone);
  // 02:30 never came that night: read as 02:30 before the change, 03:30 after it.
  filter skipped;
  skipped.from_ms = zone_instant("2026-03-29 02:30:00", zone);
  const std::vector<dom_element> after = render(m_dir, "march.html", "from=2026-03-29T02:30");
  check_page(after, spring, skipped);
  EXPECT_NE(by_id(after, "filter-note")
                .text.find("starting from " + in_zone(*skipped.from_ms, zone).text),
            std::string::npos);
  // 02:30 came twice: from the first.
  const result_facts autumn = facts_of(m_dir.read("october.json"));
  filter repeated;
  repeated.from_ms = zone_instant("2026-10-25 02:30:00", zone);
  ASSERT_EQ(expected_counts(autumn, repeated).total, 2) << "both 02:30 events";
  const std::vector<dom_element> back = render(m_dir, "october.html", "from=2026-10-25T02:30");
  check_page(back, autumn, repeated);
  expect_days_and_hours(back, autumn, zone, repeated);
}

// A week as a safety meeting reads it: two results of two days in one page, each event with
// its result; the days, hours, results, vehicles and drivers counted again here.
TEST_F(ReportPageTest, ShowsSeveralResultsByDayAndWhoIsInvolved) {
  const std::vector<std::vector<std::string>> objects = {
      {"P1", "Anna", "PERSON"},        {"P2", "Ben", "PERSON"},         {"P3", "Cleo", "PERSON"},
      {"V1", "Forklift 1", "VEHICLE"}, {"V2", "Forklift 2", "VEHICLE"}, {"V3", "Tug", "VEHICLE"}};
  const std::int64_t monday = 1774828800;  // 2026-03-30 00:00 UTC
  const std::int64_t tuesday = monday + 86400;
  const std::int64_t h = 3600;
  // Events of made_result last 2 s: a driver's events 1 s apart overlap.
  boost::filesystem::create_directory(m_dir.file("week"));
  m_dir.write("week/mon.json",
              made_result(objects, {{"V1", "P1", 300, monday + 8 * h, "P2"},
                                    {"V1", "P3", 800, monday + 8 * h + 1, "P2"},
                                    {"V2", "P1", 450, monday + 9 * h, "P3"},
                                    {"V1", "V2", 1500, monday + 10 * h, "P2", "P1"},
                                    {"V3", "P1", 200, monday + 11 * h, ""}}));
  m_dir.write("week/tue.json",
              made_result(objects, {{"V2", "P2", 480, tuesday + 8 * h, "P3"},
                                    {"V2", "P1", 490, tuesday + 8 * h + 1, "P3"},
                                    {"V1", "P3", 600, tuesday + 8 * h + 1800, "P2"},
                                    {"V3", "P2", 1200, tuesday + 9 * h, "P1"}}));
  const test::run_result unnamed = report({"week"});
  EXPECT_EQ(unnamed.status, 64);
  EXPECT_EQ(unnamed.err, "vela-report: -o is required for a folder of results (see --help)\n");
  boost::filesystem::create_directory(m_dir.file("monday"));
  boost::filesystem::copy_file(m_dir.file("week/mon.json"), m_dir.file("monday/mon.json"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"monday"}, "-o is required for a folder of results"},
      {{"week", "week/tue.json", "-o", "twice.html"}, "the same result given twice: week/tue.json"},
  };
  for (const auto& [arguments, message] : refused) {
    const test::run_result run = report(arguments);
    EXPECT_EQ(run.status, 64) << message;
    EXPECT_EQ(run.err, "vela-report: " + message + " (see --help)\n");
  }
  EXPECT_FALSE(boost::filesystem::exists(m_dir.file("monday.html")));
  EXPECT_FALSE(boost::filesystem::exists(m_dir.file("twice.html")));
  ASSERT_EQ(report({"week", "-o", "week.html"}).status, 0);
  result_facts facts;
  for (const std::string file : {"mon.json", "tue.json"}) {
    const result_facts one = facts_of(m_dir.read("week/" + file));
    for (fact_event event : one.events) {
      event.number = facts.events.size() + 1;
      event.file = file;
      facts.events.push_back(event);
    }
    facts.names.insert(one.names.begin(), one.names.end());
  }
  const std::vector<dom_element> dom = render(m_dir, "week.html");
  check_page(dom, facts);
  check_closest_row(dom, facts);
  expect_days_and_hours(dom, facts, "UTC");
  EXPECT_EQ(shown_days(dom).rbegin()->first.first, site_time(tuesday * 1000).substr(0, 10));
  EXPECT_EQ(shown_days(dom).begin()->first.first, site_time(monday * 1000).substr(0, 10));

  // Per result, and the result of each of the closest.
  std::map<std::string, std::int64_t> per_file;
  for (const fact_event& event : facts.events) {
    ++per_file[event.file];
  }
  std::map<std::string, std::int64_t> shown_files;
  for (const dom_element* row : of_class(dom, "result-row")) {
    shown_files[*attribute(*row, "data-file")] = number(*row, "data-count");
  }
  EXPECT_EQ(shown_files, per_file);
  for (const dom_element* row : of_class(dom, "closest-row")) {
    EXPECT_TRUE(has(*row, "data-file",
                    facts.events[static_cast<std::size_t>(number(*row, "data-event") - 1)].file));
  }

  // Vehicles, persons on foot and drivers: by events, then those below 500 mm, then time in
  // near-miss.
  struct involved {
    std::vector<const fact_event*> events;
    std::int64_t below_500 = 0;
  };
  std::map<std::string, involved> per_vehicle;
  std::map<std::string, involved> per_person;
  std::map<std::string, involved> per_driver;
  for (const fact_event& event : facts.events) {
    const std::set<std::string> objects = {event.uids[0], event.uids[1]};
    for (const auto& [whose, uids] :
         {std::pair{&per_vehicle, objects}, std::pair{&per_person, objects},
          std::pair{&per_driver, std::set<std::string>{event.drivers[0], event.drivers[1]}}}) {
      for (const std::string& uid : uids) {
        const char category = whose == &per_person ? 'P' : 'V';
        if (!uid.empty() && (whose == &per_driver || uid[0] == category)) {
          (*whose)[uid].events.push_back(&event);
          (*whose)[uid].below_500 += event.distance_mm < 500 ? 1 : 0;
        }
      }
    }
  }
  const auto expect_ranking = [&](const std::vector<const dom_element*>& _rows,
                                  const std::map<std::string, involved>& _counted) {
    std::vector<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::string>> ranked;
    for (const auto& [uid, counted] : _counted) {
      ranked.emplace_back(-static_cast<std::int64_t>(counted.events.size()), -counted.below_500,
                          -covered_seconds(counted.events), uid);
    }
    std::sort(ranked.begin(), ranked.end());
    ASSERT_EQ(_rows.size(), ranked.size());
    for (std::size_t k = 0; k < _rows.size(); ++k) {
      const auto& [count, below, seconds, uid] = ranked[k];
      EXPECT_TRUE(has(*_rows[k], "data-uid", uid)) << "row " << k;
      EXPECT_EQ(number(*_rows[k], "data-count"), -count);
      EXPECT_EQ(number(*_rows[k], "data-below-500"), -below);
      EXPECT_EQ(number(*_rows[k], "data-seconds"), -seconds);
    }
  };
  const auto vehicles = of_class(dom, "vehicle-row");
  const auto persons = of_class(dom, "person-row");
  const auto drivers = of_class(dom, "driver-row");
  expect_ranking(vehicles, per_vehicle);
  expect_ranking(persons, per_person);
  expect_ranking(drivers, per_driver);
  ASSERT_FALSE(persons.empty());
  for (const dom_element* row : persons) {  // each named, its name linking to its events
    const dom_element* name = row;
    while (name != &dom.back() && !has(*name, "class", "name")) {
      ++name;
    }
    EXPECT_EQ(name->text, facts.names[*attribute(*row, "data-uid")]);
  }
  ASSERT_GE(vehicles.size(), 2U);
  ASSERT_FALSE(drivers.empty());
  ASSERT_EQ(number(*vehicles[0], "data-count"), number(*vehicles[1], "data-count"))
      << "a tie of events, broken by those below 500 mm";

  // A row's link shows its events: the vehicle's alone; the driver's, here with one result's.
  const std::vector<dom_element> vehicle =
      render(m_dir, "week.html", attribute(*vehicles[0], "data-link")->substr(1));
  EXPECT_EQ(number(by_id(vehicle, "count-total"), "data-count"),
            number(*vehicles[0], "data-count"));
  const std::string driver = *attribute(*drivers[0], "data-uid");
  const std::vector<dom_element> driven =
      render(m_dir, "week.html",
             attribute(*drivers[0], "data-link")->substr(1) + "&file=tue.json&file=wed");
  EXPECT_EQ(number(by_id(driven, "count-total"), "data-count"),
            std::count_if(per_driver[driver].events.begin(), per_driver[driver].events.end(),
                          [](auto _e) { return _e->file == "tue.json"; }));
  EXPECT_NE(by_id(driven, "filter-note")
                .text.find("driven by " + facts.names[driver] + " (" + driver +
                           "); from the result \"tue.json\""),
            std::string::npos)
      << by_id(driven, "filter-note").text;
  EXPECT_NE(by_id(driven, "address-note").text.find("file=wed (no result"), std::string::npos);
}

// Results that give a uid another name or category (the same uids at another site, a tag renamed
// between two days): each event is shown and counted with its own result's; the tables list
// every name a uid had; one warning on standard error and a note on the page say so.
TEST_F(ReportPageTest, EachResultNamesItsOwnObjects) {
  const std::int64_t day = 1774828800;
  const std::map<std::string, std::vector<std::vector<std::string>>> objects = {
      {"thu.json",
       {{"V3", "Tug 3", "VEHICLE"}, {"V1", "Forklift 1", "VEHICLE"}, {"P1", "Anna", "PERSON"}}},
      {"siteC.json",
       {{"V3", "Person 7", "PERSON"},
        {"V1", "Forklift 1", "VEHICLE"},
        {"P1", "Anna B.", "PERSON"}}}};
  m_dir.write("thu.json",
              made_result(objects.at("thu.json"),
                          {{"V3", "P1", 400, day, ""}, {"V3", "V1", 900, day + 60, "", "P1"}}));
  m_dir.write("siteC.json",
              made_result(objects.at("siteC.json"), {{"V3", "V1", 300, day + 86400, "", "P1"},
                                                     {"V3", "P1", 700, day + 86460, ""},
                                                     {"V1", "P1", 800, day + 86520, ""}}));
  const test::run_result run = report({"thu.json", "siteC.json", "-o", "both.html"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "vela-report: warning: the results disagree on V3: \"Tug 3\" (VEHICLE) in thu.json, "
            "\"Person 7\" (PERSON) in siteC.json, and on 1 more uid; each event is shown with "
            "its own result's name and category\nboth.html\n");
  // Each object as its event's result lists it.
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> listed;
  result_facts facts;
  for (const std::string file : {"thu.json", "siteC.json"}) {
    for (const auto& object : objects.at(file)) {
      listed[{file, object[0]}] = object;
    }
    for (fact_event event : facts_of(m_dir.read(file)).events) {
      event.number = facts.events.size() + 1;
      event.file = file;
      facts.events.push_back(event);
    }
  }
  const std::vector<dom_element> dom = render(m_dir, "both.html");
  check_page(dom, facts);
  const std::string note = by_id(dom, "names-note").text;
  for (const char* part :
       {"V3: \"Tug 3\" (VEHICLE) in thu.json, \"Person 7\" (PERSON) in siteC.json",
        "and on 1 more uid"}) {
    EXPECT_NE(note.find(part), std::string::npos) << note;
  }
  // The closest approaches name each object and driver as its own result does.
  const auto texts_in_row = [&](const dom_element* _row, const std::string& _class) {
    std::vector<std::string> texts;
    for (auto at = dom.begin() + (_row - dom.data()) + 1; at != dom.end() && at->tag != "tr";
         ++at) {
      if (has(*at, "class", _class)) {
        texts.push_back(at->text);
      }
    }
    return texts;
  };
  const auto closest = of_class(dom, "closest-row");
  ASSERT_EQ(closest.size(), facts.events.size());
  for (const dom_element* row : closest) {
    const fact_event& event =
        facts.events[static_cast<std::size_t>(number(*row, "data-event") - 1)];
    std::vector<std::string> names;
    std::vector<std::string> drivers;
    for (int k = 0; k < 2; ++k) {
      names.push_back(listed[{event.file, event.uids[k]}][1]);
      if (!event.drivers[k].empty()) {
        drivers.push_back("driven by " + listed[{event.file, event.drivers[k]}][1] + " (" +
                          event.drivers[k] + ")");
      }
    }
    EXPECT_EQ(texts_in_row(row, "name"), names);
    EXPECT_EQ(texts_in_row(row, "driver"), drivers);
  }
  // The objects table lists every name a uid had.
  std::set<std::string> object_names;
  for (const dom_element* row : of_class(dom, "object-row")) {
    object_names.insert(texts_in_row(row, "name").at(0));
  }
  EXPECT_EQ(object_names,
            (std::set<std::string>{"Tug 3 / Person 7", "Forklift 1", "Anna / Anna B."}));
  // A vehicle's events are those in which its result lists it as one.
  std::map<std::string, std::int64_t> as_vehicle;
  for (const fact_event& event : facts.events) {
    for (const std::string& uid : std::set<std::string>{event.uids[0], event.uids[1]}) {
      as_vehicle[uid] += listed[{event.file, uid}][2] == "VEHICLE" ? 1 : 0;
    }
  }
  std::map<std::string, std::int64_t> ranked;
  for (const dom_element* row : of_class(dom, "vehicle-row")) {
    ranked[*attribute(*row, "data-uid")] = number(*row, "data-count");
  }
  for (const auto& [uid, count] : as_vehicle) {
    EXPECT_EQ(ranked.count(uid) == 1 ? ranked[uid] : 0, count) << uid;
  }
  // A name finds the events in which the object had it.
  const std::vector<dom_element> tug = render(m_dir, "both.html", "obj=%22Tug%203%22");
  EXPECT_EQ(number(by_id(tug, "count-total"), "data-count"),
            std::count_if(facts.events.begin(), facts.events.end(), [&](const fact_event& _e) {
              return listed[{_e.file, _e.uids[0]}][1] == "Tug 3" ||
                     listed[{_e.file, _e.uids[1]}][1] == "Tug 3";
            }));
}

// Overlapping events count once in an object's time in near-miss, as in the header's.
TEST_F(ReportPageTest, TimeInNearMissCountsOverlapsOnce) {
  // V1's events overlap and are out of order; one of V2 and P1 lies within another.
  const char* pattern = R"({"distance": 300, "duration": %d, "ms": %d, "ts": %d, "trackables": [
      {"uid": "%s", "x": 0, "y": 0}, {"uid": "%s", "x": 900, "y": 0}]})";
  const struct {
    int ts, ms, duration;
    const char *first, *second;
  } made[] = {{0, 250, 4, "V1", "P1"},
              {2, 600, 3, "P1", "V1"},
              {1, 0, 10, "V1", "V2"},
              {30, 400, 5, "V2", "P1"},
              {33, 100, 1, "P1", "V2"}};
  std::string events;
  for (const auto& m : made) {
    char text[300];
    std::snprintf(text, sizeof text, pattern, m.duration, m.ms, 1767225600 + m.ts, m.first,
                  m.second);
    events += (events.empty() ? "" : ",") + std::string(text);
  }
  m_dir.write("events.json", R"({"events": [)" + events + R"(], "trackableObjects": [
      {"uid": "V1", "name": "Forklift", "category": "VEHICLE"},
      {"uid": "V2", "name": "Tug", "category": "VEHICLE"},
      {"uid": "P1", "name": "Anna", "category": "PERSON"}]})");
  ASSERT_EQ(report({"events.json"}).status, 0);
  const result_facts facts = facts_of(m_dir.read("events.json"));
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  check_page(dom, facts);  // the header's data-seconds

  std::map<std::string, std::vector<const fact_event*>> per_object;
  std::map<std::string, std::int64_t> summed;
  for (const fact_event& event : facts.events) {
    for (const std::string& uid : event.uids) {
      per_object[uid].push_back(&event);
      summed[uid] += event.duration_s;
    }
  }
  ASSERT_NE(covered_seconds(per_object["V1"]), summed["V1"]) << "no overlap to count once";
  const auto rows = of_class(dom, "object-row");
  ASSERT_EQ(rows.size(), per_object.size());
  for (const dom_element* row : rows) {
    // The object's uid and its time, the last cell of its row.
    std::string uid;
    std::string time;
    for (auto at = dom.begin() + (row - dom.data()) + 1; at != dom.end() && at->tag != "tr"; ++at) {
      if (has(*at, "class", "uid")) {
        uid = at->text.substr(0, at->text.find(','));
      }
      if (at->tag == "td") {
        time = at->text;
      }
    }
    SCOPED_TRACE(uid);
    const std::int64_t seconds = covered_seconds(per_object[uid]);
    ASSERT_LT(seconds, 60);
    EXPECT_EQ(number(*row, "data-seconds"), seconds);
    EXPECT_EQ(time, std::to_string(seconds) + " s");
  }
}

// ---- Zones --------------------------------------------------------------------------------------
// Zones as the test draws them, in half millimetres (the unit of a mark): polygons, each an
// outer ring then its holes, rings unclosed.
using corner = std::pair<std::int64_t, std::int64_t>;
using ring = std::vector<corner>;
struct test_zone {
  std::string name;
  std::vector<std::vector<ring>> polygons;
};

ring rectangle(double _x0, double _y0, double _x1, double _y1) {
  const auto h = [](double _metres) { return std::llround(_metres * 2000); };
  return {{h(_x0), h(_y0)}, {h(_x1), h(_y0)}, {h(_x1), h(_y1)}, {h(_x0), h(_y1)}};
}

// The test's own point in polygon, apart from the tools': on an edge by exact collinearity,
// inside by the winding number, a hole subtracted.
bool on_edge(const ring& _ring, const corner& _p) {
  for (std::size_t k = 0; k < _ring.size(); ++k) {
    const corner& a = _ring[k];
    const corner& b = _ring[(k + 1) % _ring.size()];
    const std::int64_t cross =
        (b.first - a.first) * (_p.second - a.second) - (b.second - a.second) * (_p.first - a.first);
    if (cross == 0 && std::min(a.first, b.first) <= _p.first &&
        _p.first <= std::max(a.first, b.first) && std::min(a.second, b.second) <= _p.second &&
        _p.second <= std::max(a.second, b.second)) {
      return true;
    }
  }
  return false;
}

int winding(const ring& _ring, const corner& _p) {
  int turns = 0;
  for (std::size_t k = 0; k < _ring.size(); ++k) {
    const corner& a = _ring[k];
    const corner& b = _ring[(k + 1) % _ring.size()];
    const std::int64_t side =
        (b.first - a.first) * (_p.second - a.second) - (_p.first - a.first) * (b.second - a.second);
    if (a.second <= _p.second && b.second > _p.second && side > 0) {
      ++turns;
    } else if (a.second > _p.second && b.second <= _p.second && side < 0) {
      --turns;
    }
  }
  return turns;
}

bool zone_holds(const test_zone& _zone, const corner& _p) {
  for (const std::vector<ring>& polygon : _zone.polygons) {
    bool inside = winding(polygon[0], _p) != 0;
    for (const ring& each : polygon) {
      if (on_edge(each, _p)) {
        return true;
      }
    }
    for (std::size_t h = 1; h < polygon.size(); ++h) {
      inside = inside && winding(polygon[h], _p) == 0;
    }
    if (inside) {
      return true;
    }
  }
  return false;
}

// The zones as GeoJSON in metres, one feature per polygon (a zone of several is one name used
// twice) unless _multi names a zone written as one MultiPolygon.
std::string geojson(const std::vector<test_zone>& _zones, const std::string& _multi = "") {
  Json::Value root(Json::objectValue);
  root["type"] = "FeatureCollection";
  Json::Value& features = root["features"] = Json::Value(Json::arrayValue);
  const auto rings_of = [](const std::vector<ring>& _polygon) {
    Json::Value rings(Json::arrayValue);
    for (const ring& each : _polygon) {
      Json::Value points(Json::arrayValue);
      for (std::size_t k = 0; k <= each.size(); ++k) {  // closed: the first point again
        Json::Value point(Json::arrayValue);
        point.append(static_cast<double>(each[k % each.size()].first) / 2000);
        point.append(static_cast<double>(each[k % each.size()].second) / 2000);
        points.append(point);
      }
      rings.append(points);
    }
    return rings;
  };
  for (const test_zone& zone : _zones) {
    Json::Value feature(Json::objectValue);
    feature["type"] = "Feature";
    feature["properties"]["name"] = zone.name;
    if (zone.name == _multi) {
      feature["geometry"]["type"] = "MultiPolygon";
      for (const auto& polygon : zone.polygons) {
        feature["geometry"]["coordinates"].append(rings_of(polygon));
      }
      features.append(feature);
      continue;
    }
    for (const auto& polygon : zone.polygons) {
      feature["geometry"]["type"] = "Polygon";
      feature["geometry"]["coordinates"] = rings_of(polygon);
      features.append(feature);
    }
  }
  return Json::writeString(Json::StreamWriterBuilder(), root);
}

// Events in a hole, in two zones at once, on a vertex and an edge, and outside every zone, from
// the bundled example: each counted by the page and in vela-summary's rows.
TEST_F(ReportPageTest, ZonesCountTheEventsTheirMarksLieIn) {
  write_example_result("events.json");
  result_facts facts = facts_of(m_dir.read("events.json"));
  // A triangle through two marks: one at a corner, one in the middle of an edge.
  const corner a{facts.events[0].mark_x, facts.events[0].mark_y};
  const corner b{facts.events[1].mark_x, facts.events[1].mark_y};
  ASSERT_NE(a, b);
  const ring edge = {a,
                     {2 * b.first - a.first, 2 * b.second - a.second},
                     {a.first - (b.second - a.second), a.second + (b.first - a.first)}};
  const std::vector<test_zone> zones = {
      {"Dock", {{rectangle(0, 0, 30, 15), rectangle(10, 5, 20, 10)}, {rectangle(0, 50, 5, 55)}}},
      {"Aisle 3", {{rectangle(25, 0, 45, 60)}}},
      {"Racks", {{rectangle(50, 20, 60, 50)}, {{{10000, 60000}, {40000, 60000}, {24000, 90000}}}}},
      {"Edge", {{edge}}},
  };
  m_dir.write("zones.geojson", geojson(zones, "Racks"));
  std::map<std::string, std::vector<const fact_event*>> in_zone;
  std::size_t in_hole = 0;
  for (fact_event& event : facts.events) {
    const corner mark{event.mark_x, event.mark_y};
    for (const test_zone& zone : zones) {
      if (zone_holds(zone, mark)) {
        event.zones.insert(zone.name);
        in_zone[zone.name].push_back(&event);
      }
    }
    in_zone[event.zones.empty() ? "" : "-"].push_back(&event);
    in_hole += zone_holds({"", {{rectangle(10, 5, 20, 10)}}}, mark) &&
               !on_edge(rectangle(10, 5, 20, 10), mark);
  }
  ASSERT_GT(in_hole, 0U) << "no mark in the hole";
  ASSERT_GT(
      std::count_if(facts.events.begin(), facts.events.end(),
                    [](auto& _e) { return _e.zones.count("Dock") && _e.zones.count("Aisle 3"); }),
      0)
      << "no mark in two zones";
  ASSERT_TRUE(facts.events[0].zones.count("Edge") && facts.events[1].zones.count("Edge"));
  ASSERT_FALSE(in_zone[""].empty()) << "no mark outside every zone";

  ASSERT_EQ(report({"events.json", "--zones", "zones.geojson"}).status, 0);
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  const auto rows = of_class(dom, "zone-row");
  ASSERT_EQ(rows.size(), zones.size());  // the outside row has a class of its own
  const auto outside = of_class(dom, "zone-row outside");
  ASSERT_EQ(outside.size(), 1U);
  std::vector<const dom_element*> shown(rows.begin(), rows.end());
  shown.push_back(outside[0]);
  for (const dom_element* row : shown) {
    const std::string name = *attribute(*row, "data-zone");
    SCOPED_TRACE("zone '" + name + "'");
    const auto& events = in_zone[name];
    const auto count_if = [&](auto _test) {
      return static_cast<std::int64_t>(std::count_if(events.begin(), events.end(), _test));
    };
    EXPECT_EQ(number(*row, "data-count"), static_cast<std::int64_t>(events.size()));
    EXPECT_EQ(number(*row, "data-person-vehicle"),
              count_if([](auto _e) { return _e->kind == "person-vehicle"; }));
    EXPECT_EQ(number(*row, "data-vehicle-vehicle"),
              count_if([](auto _e) { return _e->kind == "vehicle-vehicle"; }));
    EXPECT_EQ(number(*row, "data-below-500"),
              count_if([](auto _e) { return _e->distance_mm < 500; }));
    EXPECT_EQ(number(*row, "data-seconds"), covered_seconds(events));
  }
  // Every zone outlined and named on the plot, a name for each of a zone's polygons.
  EXPECT_EQ(of_class(dom, "zone-label").size(), 6U);
  // The zone filter: the events in the zone, overlaps included.
  const filter aisle = {"", {}, "", {}, {}, "Aisle 3"};
  const std::vector<dom_element> filtered = render(m_dir, "events.html", "zone=Aisle%203");
  check_page(filtered, facts, aisle);
  EXPECT_NE(by_id(filtered, "filter-note").text.find("in zone \"Aisle 3\""), std::string::npos);

  // vela-summary's rows: the zones of each event, in the order of the file.
  const auto names_of = [&](const fact_event& _event) {
    std::vector<std::string> names;
    for (const test_zone& zone : zones) {
      if (_event.zones.count(zone.name) == 1) {
        names.push_back(zone.name);
      }
    }
    return names;
  };
  const test::run_result csv =
      test::run_in(m_dir, VELA_SUMMARY, {"--csv", "--zones", "zones.geojson", "events.json"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::istringstream lines(csv.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line.substr(line.rfind(',')), ",zones\r");
  const test::run_result jsonl =
      test::run_in(m_dir, VELA_SUMMARY, {"--jsonl", "--zones", "zones.geojson", "events.json"});
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  std::istringstream json_lines(jsonl.out);
  for (const fact_event& event : facts.events) {
    SCOPED_TRACE("event " + std::to_string(event.number));
    std::string joined;
    for (const std::string& name : names_of(event)) {
      joined += (joined.empty() ? "" : ";") + name;
    }
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(line.rfind(',') + 1), joined + "\r");  // no name here needs quoting
    ASSERT_TRUE(std::getline(json_lines, line));
    std::vector<std::string> listed;
    const Json::Value row = test::parse_json(line);
    for (const Json::Value& name : row["zones"]) {
      listed.push_back(name.asString());
    }
    EXPECT_EQ(listed, names_of(event));
  }
}

TEST_F(ReportTest, RefusesZonesAndPlansItCannotUse) {
  m_dir.write("events.json", R"({"events": [], "trackableObjects": []})");
  const std::string square = R"({"type": "Polygon", "coordinates": [[[0,0],[1,0],[1,1],[0,0]]]})";
  const auto feature = [&](const std::string& _name, const std::string& _geometry) {
    return R"({"type": "Feature", "properties": {"name": )" + _name + R"(}, "geometry": )" +
           _geometry + "}";
  };
  const auto collection = [](const std::string& _features) {
    return R"({"type": "FeatureCollection", "features": [)" + _features + "]}";
  };
  const struct {
    std::string zones;
    const char* reason;
  } zone_rows[] = {
      {"", "empty: not GeoJSON"},
      {"{\"type\": ", "not JSON at byte offset 9"},
      {std::string(100000, '['), "not JSON at byte offset 100000"},  // deep, and no crash
      {R"({"type": "Feature"})", "not a GeoJSON FeatureCollection"},
      {collection(""), "holds no Polygon or MultiPolygon feature"},
      {collection(feature("null", square)), "feature 1: no \"name\" property"},
      {collection(feature("\"A\"", square) + "," + feature("\"\"", square)),
       "feature 2: no \"name\" property"},
      {collection(feature("\"A;B\"", square)), "feature 1: a name with ';'"},
      {collection(feature("\"A\"", R"({"type": "Point", "coordinates": [0, 0]})")),
       "feature 1: a Point, not a Polygon or MultiPolygon"},
      {collection(feature("\"A\"", "null")), "feature 1: no geometry"},
      {collection(feature("\"A\"", R"({"type": "Polygon", "coordinates": [[[0,0],[1,0],[1,1]]]})")),
       "feature 1: a ring of fewer than 4 positions"},
      {collection(
           feature("\"A\"", R"({"type": "Polygon", "coordinates": [[[0,0],[1,0],[1,1],[0,1]]]})")),
       "feature 1: a ring that is not closed"},
      {collection(feature("\"A\"",
                          R"({"type": "Polygon", "coordinates": [[[0,0],[1e13,0],[1,1],[0,0]]]})")),
       "feature 1: a coordinate beyond 10^12 m"},
  };
  for (const auto& row : zone_rows) {
    SCOPED_TRACE(row.reason);
    m_dir.write("zones.geojson", row.zones);
    for (const char* program : {report_binary, VELA_SUMMARY}) {
      const test::run_result run =
          test::run_in(m_dir, program, {"events.json", "--zones", "zones.geojson"});
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(
          run.err.rfind(std::string(program == report_binary ? "vela-report" : "vela-summary") +
                            ": zones.geojson: " + row.reason,
                        0),
          0U)
          << run.err;
      EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(files(), (std::set<std::string>{"events.json", "zones.geojson"}));
  }
  m_dir.write("zones.geojson", collection(feature("\"A\"", square)));
  m_dir.write("plan.txt", "a floor plan in words");
  m_dir.write("empty.png", "");
  const struct {
    arguments args;
    int status;
    const char* message;
  } rows[] = {
      {{"--zones", "missing.geojson"}, 2, "missing.geojson: No such file or directory"},
      {{"--floor-plan", "plan.txt", "--plan-bounds", "0,0,1,1"},
       2,
       "plan.txt: not a PNG, JPEG or SVG image"},
      {{"--floor-plan", "empty.png", "--plan-bounds", "0,0,1,1"}, 2, "empty.png: empty"},
      {{"--floor-plan", "missing.png", "--plan-bounds", "0,0,1,1"},
       2,
       "missing.png: No such file or directory"},
      {{"--zones", "zones.geojson", "-o", "zones.geojson"},
       1,
       "zones.geojson: is the zones file zones.geojson; the page would replace it"},
      {{"--floor-plan", "plan.txt"}, 64, "--floor-plan needs --plan-bounds"},
      {{"--plan-bounds", "0,0,1,1"}, 64, "--plan-bounds needs --floor-plan"},
      {{"--floor-plan", "plan.txt", "--plan-bounds", "0,0,1"}, 64, "--plan-bounds: expected"},
      {{"--floor-plan", "plan.txt", "--plan-bounds", "5,0,1,1"}, 64, "--plan-bounds: expected"},
      {{"--threshold", "2 m"}, 64, "--threshold: expected a whole number of millimetres"},
      {{"--threshold", "4294967296"}, 64, "--threshold: expected a whole number of millimetres"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    arguments args = {"events.json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const test::run_result run = report(args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err.rfind(std::string("vela-report: ") + row.message, 0), 0U) << run.err;
    EXPECT_EQ(files(),
              (std::set<std::string>{"events.json", "zones.geojson", "plan.txt", "empty.png"}));
  }
}

TEST(ReportPlanTest, TellsImagesByTheirFirstBytes) {
  const struct {
    std::string bytes;
    const char* format;
  } rows[] = {
      {"\x89PNG\r\n\x1a\n....", "PNG"},
      {"\xFF\xD8\xFF\xE0....", "JPEG"},
      {"<svg xmlns=\"http://www.w3.org/2000/svg\"/>", "SVG"},
      {"\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- plan -->\n<svg/>", "SVG"},
      {"plan.svg: <svg>", ""},
      {"GIF89a", ""},
      {"", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    EXPECT_EQ(report::image_format(row.bytes), row.format);
  }
}

// ---- The plan, the keys, the fields and the provenance
// -------------------------------------------- A PNG plan of 40 x 30 pixels, as Chromium
// photographs a page.
void write_png_plan(const test::temp_folder& _dir, const std::string& _name) {
  _dir.write("plan.html",
             "<body style=\"margin:0;background:#d8e0d0\"><div style=\"width:20px;"
             "height:15px;background:#556\"></div>");
  const test::run_result shot =
      chromium(_dir, {"--screenshot=" + _dir.file(_name), "--window-size=40,30",
                      file_url(_dir.file("plan.html"))});
  ASSERT_EQ(shot.status, 0) << shot.err;
}

// The bundled example's page over a plan and zones, with the threshold given, at +13:00.
class PlannedPageTest : public ReportPageTest {
 protected:
  void SetUp() override {
    ReportPageTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    write_example_result("events.json");
    write_png_plan(m_dir, "plan.png");
    facts = facts_of(m_dir.read("events.json"));
    m_dir.write("zones.geojson", geojson({{"Hall", {{rectangle(0, 0, 60, 45)}}}}));
    before = std::chrono::system_clock::now();
    ASSERT_EQ(report({"events.json", "--floor-plan", "plan.png", "--plan-bounds", "0,0,60,45",
                      "--zones", "zones.geojson", "--threshold", "2000", "--utc-offset",
                      "+13:00"})
                  .status,
              0);
    after = std::chrono::system_clock::now();
    dom = render(m_dir, "events.html");
  }

  result_facts facts;
  std::vector<dom_element> dom;
  std::chrono::system_clock::time_point before;  // when the page was made
  std::chrono::system_clock::time_point after;
};

TEST_F(PlannedPageTest, DrawsThePlanUnderTheMarksWithItsKeys) {
  const dom_element& plot = by_id(dom, "plot");
  EXPECT_TRUE(has(plot, "data-plan", "shown"));
  EXPECT_TRUE(has(plot, "data-plan-pixels", "40x30")) << "the image the page carries";
  EXPECT_NE(attribute(by_id(dom, "plan-note"), "hidden"), nullptr);
  EXPECT_NE(attribute(by_id(dom, "units-note"), "hidden"), nullptr) << "the zones fit the site";
  // The plan's edges at its bounds: each mark as far across the image as its event across the
  // 60 m by 45 m, and the image under the marks.
  const auto image =
      std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "image"; });
  ASSERT_NE(image, dom.end());
  const auto coordinate = [](const dom_element& _e, const char* _name) {
    return std::stod(*attribute(_e, _name));
  };
  const double left = coordinate(*image, "x");
  const double top = coordinate(*image, "y");
  const double width = coordinate(*image, "width");
  const double height = coordinate(*image, "height");
  const auto marks = of_class(dom, "mark");
  ASSERT_EQ(marks.size(), facts.events.size());
  for (const dom_element* mark : marks) {
    EXPECT_GT(mark, &*image) << "a mark under the plan";
    const fact_event& event =
        facts.events[static_cast<std::size_t>(number(*mark, "data-event") - 1)];
    EXPECT_NEAR((coordinate(*mark, "cx") - left) / width, event.mark_x / 2000.0 / 60, 0.1 / width);
    EXPECT_NEAR((coordinate(*mark, "cy") - top) / height, 1 - event.mark_y / 2000.0 / 45,
                0.1 / height);
  }
  // The scale bar under the frame, clear of the data.
  const dom_element& frame = *of_class(dom, "frame")[0];
  const dom_element& bar = *of_class(dom, "scale-bar")[0];
  EXPECT_GT(coordinate(bar, "y1"), coordinate(frame, "y") + coordinate(frame, "height") + 20);
  EXPECT_EQ(of_class(dom, "scale-label")[0]->text,
            *attribute(by_id(dom, "scale-bar"), "data-metres") + " m");
  // The key of the shading: 0 mm to the largest distance.
  std::int64_t largest = 0;
  for (const fact_event& event : facts.events) {
    largest = std::max(largest, event.distance_mm);
  }
  EXPECT_TRUE(has(by_id(dom, "plot-key"), "data-key", "distance"));
  EXPECT_EQ(number(by_id(dom, "plot-key"), "data-largest"), largest);
  // A plan whose bounds have another shape than its image is drawn stretched, and says so.
  ASSERT_EQ(report({"events.json", "-o", "square.html", "--floor-plan", "plan.png", "--plan-bounds",
                    "0,0,60,60"})
                .status,
            0);
  const std::vector<dom_element> square = render(m_dir, "square.html");
  const dom_element& stretched = by_id(square, "plan-note");
  EXPECT_EQ(attribute(stretched, "hidden"), nullptr);
  EXPECT_NE(stretched.text.find("40 × 30 pixels"), std::string::npos) << stretched.text;
}


TEST_F(PlannedPageTest, SaysWhatItWasMadeFromInSiteTime) {
  // Times as 24-hour text fields: at +13:00 the first start is in the afternoon.
  const dom_element& from = by_id(dom, "filter-from");
  EXPECT_TRUE(has(from, "type", "text"));
  std::int64_t first = facts.events.front().start_ms;
  for (const fact_event& event : facts.events) {
    first = std::min(first, event.start_ms);
  }
  EXPECT_EQ(*attribute(from, "placeholder"), site_time(first / 1000 * 1000, 13 * 60));
  // What the page was made from, and the threshold in each command.
  check_closest_row(dom, facts, {}, "2000");
  const auto inputs = of_class(dom, "provenance-input");
  ASSERT_EQ(inputs.size(), 3U);
  const char* names[] = {"events.json", "zones.geojson", "plan.png"};
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(names[k]);
    EXPECT_TRUE(has(*inputs[k], "data-name", names[k]));
    EXPECT_EQ(number(*inputs[k], "data-bytes"),
              static_cast<std::int64_t>(boost::filesystem::file_size(m_dir.file(names[k]))));
    struct stat status {};
    ASSERT_EQ(::stat(m_dir.file(names[k]).c_str(), &status), 0);
    std::string modified = site_time(std::int64_t{status.st_mtime} * 1000, 13 * 60);
    modified[10] = 'T';
    EXPECT_EQ(*attribute(*inputs[k], "data-modified"), modified);
  }
  EXPECT_NE(inputs[2]->text.find("PNG, its edges at x 0 to 60 m, y 0 to 45 m"), std::string::npos);
  EXPECT_EQ(number(by_id(dom, "provenance-threshold"), "data-mm"), 2000);
  const auto made_ms = [](auto _time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(_time.time_since_epoch()).count();
  };
  std::string made = *attribute(by_id(dom, "provenance-made"), "data-made");
  made[10] = ' ';
  EXPECT_GE(made, site_time(made_ms(before) / 1000 * 1000, 13 * 60));
  EXPECT_LE(made, site_time(made_ms(after), 13 * 60));
  EXPECT_NE(by_id(dom, "provenance-made").text.find("vela-report " VELA_VERSION),
            std::string::npos);

}

// The page _name with _script run once it has loaded (its images too), saved as _copy.
void add_script(const test::temp_folder& _dir, const std::string& _name, const std::string& _copy,
                const std::string& _script) {
  std::string page = _dir.read(_name);
  page.insert(page.rfind("</body>"),
              "<script>window.addEventListener('load', function () {" + _script + "});</script>");
  _dir.write(_copy, page);
}

// Hundreds of thousands of events: the plan shows through the density grid's squares, the
// charts' counts are short and exact, and no label of theirs is cut at their edge.
TEST_F(ReportPageTest, ManyEventsKeepThePlanAndEveryLabelInView) {
  m_dir.write("events.json", many_events(120000, 4000));  // within a minute and a day
  write_png_plan(m_dir, "plan.png");
  ASSERT_EQ(
      report({"events.json", "--floor-plan", "plan.png", "--plan-bounds", "0,0,100,75"}).status, 0);
  add_script(m_dir, "events.html", "checked.html",
             "const cut = [];"
             "for (const text of document.querySelectorAll('#timeline text, #trend text')) {"
             "  const box = text.getBBox(), view = text.ownerSVGElement.viewBox.baseVal;"
             "  if (box.x < 0 || box.y < 0 || box.x + box.width > view.width ||"
             "      box.y + box.height > view.height) cut.push(text.textContent);"
             "}"
             "document.body.setAttribute('data-cut', cut.join(', ') || 'none');");
  const std::vector<dom_element> dom = render(m_dir, "checked.html");
  EXPECT_TRUE(has(*std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "body"; }),
                  "data-cut", "none"));
  const auto labels = of_class(dom, "count-label");
  ASSERT_FALSE(labels.empty());
  for (const dom_element* label : labels) {  // 950, 50k, 1.05M, read back
    std::size_t digits = 0;
    const double value = std::stod(label->text, &digits);
    const double unit = std::pow(1000.0, std::string(" kMG").find(label->text.substr(digits)));
    EXPECT_EQ(std::llround(value * unit), number(*label, "data-count")) << label->text;
  }
  EXPECT_GE(number(*labels.back(), "data-count"), 120000);
  EXPECT_TRUE(has(by_id(dom, "plot"), "data-mode", "grid"));
  EXPECT_TRUE(has(by_id(dom, "plot"), "data-plan", "shown"));
  const auto image =
      std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "image"; });
  ASSERT_NE(image, dom.end());
  ASSERT_FALSE(of_class(dom, "cell").empty());
  for (const dom_element* cell : of_class(dom, "cell")) {
    EXPECT_GT(cell, &*image) << "a square under the plan";
    EXPECT_LT(std::stod(attribute(*cell, "fill-opacity") ? *attribute(*cell, "fill-opacity") : "1"),
              1.0);
  }
}

// Zones or a plan in other units than the events (millimetres, degrees, decimetres that put every
// event in one zone): a warning line from each program, which ends as it would have; nothing for
// zones that fit, or for too few events to tell.
TEST_F(ReportTest, WarnsOfZonesAndPlansInOtherUnits) {
  write_example_result("events.json");
  Json::Value result = test::parse_json(m_dir.read("events.json"));
  ASSERT_GT(result["events"].size(), 20U);
  for (const Json::ArrayIndex kept : {20U, 19U}) {
    result["events"].resize(kept);
    m_dir.write(std::to_string(kept) + ".json",
                Json::writeString(Json::StreamWriterBuilder(), result));
  }
  // The larger side of the box of a result's marks, and the box, in metres.
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  const auto marks_side = [&](const std::string& _result) {
    const result_facts facts = facts_of(m_dir.read(_result));
    const auto [left, right] =
        std::minmax_element(facts.events.begin(), facts.events.end(),
                            [](auto& _a, auto& _b) { return _a.mark_x < _b.mark_x; });
    const auto [low, high] =
        std::minmax_element(facts.events.begin(), facts.events.end(),
                            [](auto& _a, auto& _b) { return _a.mark_y < _b.mark_y; });
    std::tie(x0, y0, x1, y1) = std::make_tuple(left->mark_x / 2000.0, low->mark_y / 2000.0,
                                               right->mark_x / 2000.0, high->mark_y / 2000.0);
    return std::max(x1 - x0, y1 - y0);
  };
  const double side = marks_side("events.json");
  // The marks' box and a metre around it in two zones, their corners times _scale plus _shift.
  const auto halves = [&](double _scale, double _shift_x, double _shift_y) {
    const auto at = [&](double _x, double _y) {
      return corner{std::llround((_shift_x + _scale * _x) * 2000),
                    std::llround((_shift_y + _scale * _y) * 2000)};
    };
    const double middle = (x0 + x1) / 2;
    return std::vector<test_zone>{
        {"West",
         {{{at(x0 - 1, y0 - 1), at(middle, y0 - 1), at(middle, y1 + 1), at(x0 - 1, y1 + 1)}}}},
        {"East",
         {{{at(middle, y0 - 1), at(x1 + 1, y0 - 1), at(x1 + 1, y1 + 1), at(middle, y1 + 1)}}}}};
  };
  const std::vector<test_zone> beside = {
      {"West", {{rectangle(x0 - 20, y0 - 20, x0 - 10, y1 + 20)}}},
      {"East", {{rectangle(x1 + 10, y0 - 20, x1 + 20, y1 + 20)}}}};
  const double site = side + 2;  // the zones' larger side in metres, unscaled
  const struct {
    const char* what;
    std::vector<test_zone> zones;  // none: a plan of bounds 0,0,plan,plan instead
    double plan;
    double extent;  // of the zones or the plan, in metres
    const char* result;
    const char* says;  // empty for no warning
  } rows[] = {
      {"zones in millimetres", halves(1000, 0, 0), 0, 1000 * site, "events.json", "the zones span"},
      {"zones in degrees", halves(1e-5, 8.6, 50.1), 0, 1e-5 * site, "events.json",
       "the zones span"},
      {"zones in decimetres", halves(10, -9 * (x0 - 1), -9 * (y0 - 1)), 0, 10 * site, "events.json",
       "every event lies in zone \"West\""},
      {"zones beside the events", beside, 0, side + 40, "events.json", "no event lies in a zone"},
      {"zones in metres", halves(1, 0, 0), 0, site, "events.json", ""},
      {"20 events", halves(1000, 0, 0), 0, 1000 * site, "20.json", "the zones span"},
      {"19 events", halves(1000, 0, 0), 0, 1000 * site, "19.json", ""},
      {"a plan in millimetres",
       {},
       1000 * (x1 + 5),
       1000 * (x1 + 5),
       "events.json",
       "the plan's bounds span"},
      {"a plan in metres", {}, x1 + 5, x1 + 5, "events.json", ""},
  };
  m_dir.write("plan.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\"/>");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string file = row.plan > 0 ? "plan.svg" : "zones.geojson";
    const std::string plan = std::to_string(row.plan);
    const arguments site_args =
        row.plan > 0 ? arguments{"--floor-plan", file, "--plan-bounds", "0,0," + plan + "," + plan}
                     : arguments{"--zones", file};
    if (row.plan == 0) {
      m_dir.write(file, geojson(row.zones));
    }
    for (const arguments& args :
         {arguments{"vela-report", row.result, "-o", "page.html"},
          arguments{"vela-summary", row.result}, arguments{"vela-summary", "--csv", row.result}}) {
      if (row.plan > 0 && args[0] != "vela-report") {
        continue;
      }
      SCOPED_TRACE(testing::PrintToString(args));
      arguments given(args.begin() + 1, args.end());
      given.insert(given.end(), site_args.begin(), site_args.end());
      const test::run_result run =
          test::run_in(m_dir, args[0] == "vela-report" ? report_binary : VELA_SUMMARY, given);
      EXPECT_EQ(run.status, 0) << run.err;
      const std::string page_line = args[0] == "vela-report" ? "page.html\n" : "";
      const std::string head = args[0] + ": warning: " + file + ": ";
      const std::string line = run.err.substr(0, run.err.find('\n'));
      if (*row.says == '\0') {
        EXPECT_EQ(run.err, page_line);
        continue;
      }
      ASSERT_EQ(line.rfind(head, 0), 0U) << run.err;
      EXPECT_EQ(run.err, line + "\n" + page_line);
      EXPECT_NE(line.find(row.says), std::string::npos) << line;
      // Both extents in metres: the larger side of each box.
      const auto metres_after = [&](const std::string& _words) {
        const std::size_t at = line.find(_words);
        return at == std::string::npos ? -1.0 : std::stod(line.substr(at + _words.size()));
      };
      EXPECT_NEAR(metres_after(" span "), row.extent, 1e-3 + row.extent * 1e-9) << line;
      EXPECT_NEAR(metres_after(" m and the events' marks "), marks_side(row.result), 1e-3) << line;
      if (args[0] == "vela-report") {
        EXPECT_NE(m_dir.read("page.html").find("\"warnings\":[\"" + file + ": "), std::string::npos)
            << "the page carries the warning";
      }
    }
  }
}

// The warning where the page's reader sees it, at the top.
TEST_F(ReportPageTest, ShowsTheWarningOfZonesInOtherUnits) {
  write_example_result("events.json");
  m_dir.write("mm.geojson", geojson({{"Hall", {{rectangle(0, 0, 60000, 45000)}}}}));
  const test::run_result run = report({"events.json", "--zones", "mm.geojson"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<dom_element> dom = render(m_dir, "events.html");
  const dom_element& note = by_id(dom, "units-note");
  EXPECT_EQ(attribute(note, "hidden"), nullptr);
  EXPECT_EQ("vela-report: warning: " + note.text + "\nevents.html\n", run.err);
}

// Chromium's record of the network: the addresses a page asked for.
std::string network_log(const test::temp_folder& _dir, const std::string& _page) {
  const std::string log = _dir.file(_page + ".netlog.json");
  const test::run_result run = chromium(_dir, {"--log-net-log=" + log, "--virtual-time-budget=3000",
                                               "--dump-dom", file_url(_dir.file(_page))});
  EXPECT_EQ(run.status, 0) << run.err;
  return _dir.read(_page + ".netlog.json");
}

TEST_F(ReportPageTest, HostileZoneNamesAndSvgPlansStayInert) {
  // An SVG that would run script and fetch four ways, were it anything but an image.
  const std::string svg =
      "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" "
      "height=\"30\" onload=\"fetch('http://127.0.0.1:9/onload')\"><script>fetch('http://"
      "127.0.0.1:9/script')</script><image href=\"http://127.0.0.1:9/image.png\" width=\"9\" "
      "height=\"9\"/><foreignObject width=\"9\" height=\"9\"><img xmlns=\"http://www.w3.org/1999/"
      "xhtml\" src=\"http://127.0.0.1:9/foreign.png\"/></foreignObject><rect width=\"40\" "
      "height=\"30\" fill=\"#9a9\"/></svg>";
  m_dir.write("plan.svg", svg);
  // The same markup in a page of its own does reach the network: the log can see it.
  m_dir.write("control.html", "<!DOCTYPE html><body>" + svg.substr(svg.find("<svg")) + "</body>");
  EXPECT_NE(network_log(m_dir, "control.html").find("127.0.0.1:9"), std::string::npos)
      << "the control's requests are not in the log";

  const std::vector<std::string> hostile = {
      "=HYPERLINK(\"http://x\",\"y\")", "</script><script>alert(1)</script>",
      "<img src=x onerror=alert(2)>", "\"quoted\" & 'single' \xE2\x80\xA8 <!--"};
  std::vector<test_zone> hostile_zones;
  std::vector<test_zone> plain_zones;
  for (std::size_t k = 0; k < hostile.size(); ++k) {
    const ring everywhere = rectangle(-1000, -1000, 1000 + 10.0 * k, 1000);
    hostile_zones.push_back({hostile[k], {{everywhere}}});
    plain_zones.push_back({"Z" + std::to_string(k), {{everywhere}}});
  }
  m_dir.write("events.json", pairs_result(plain_objects));
  m_dir.write("hostile.geojson", geojson(hostile_zones));
  m_dir.write("plain.geojson", geojson(plain_zones));
  for (const char* zones : {"hostile", "plain"}) {
    ASSERT_EQ(report({"events.json", "-o", std::string(zones) + ".html", "--zones",
                      std::string(zones) + ".geojson", "--floor-plan", "plan.svg", "--plan-bounds",
                      "-4,-3,4,3"})
                  .status,
              0);
  }
  EXPECT_EQ(network_log(m_dir, "hostile.html").find("127.0.0.1"), std::string::npos)
      << "the plan or a name reached the network";
  const std::vector<dom_element> dom = render(m_dir, "hostile.html");
  const std::vector<dom_element> plain = render(m_dir, "plain.html");
  EXPECT_TRUE(has(by_id(dom, "plot"), "data-plan", "shown"));
  // The same elements as with plain names: nothing in a name became markup.
  ASSERT_EQ(dom.size(), plain.size());
  for (std::size_t k = 0; k < dom.size(); ++k) {
    EXPECT_EQ(dom[k].tag, plain[k].tag) << "element " << k;
  }
  // The names read as they are written, on the plot and in the table.
  const auto labels = of_class(dom, "zone-label");
  const auto rows = of_class(dom, "zone-row");
  ASSERT_EQ(labels.size(), hostile.size());
  ASSERT_EQ(rows.size(), hostile.size());
  for (std::size_t k = 0; k < hostile.size(); ++k) {
    EXPECT_EQ(labels[k]->text, hostile[k]);
    EXPECT_TRUE(has(*rows[k], "data-zone", hostile[k]));
  }
  // In vela-summary's CSV the names are one cell that a spreadsheet does not run.
  const test::run_result csv =
      test::run_in(m_dir, VELA_SUMMARY, {"--csv", "--zones", "hostile.geojson", "events.json"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_NE(csv.out.find(",\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\");</script>"), std::string::npos)
      << csv.out;
}

// The report scrolls above the filter bar: scrolled into view, no row of any table is behind it.
TEST_F(ReportPageTest, TheFilterBarHidesNoRow) {
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  std::string page = m_dir.read("events.html");
  page.insert(page.rfind("</body>"),
              "<script>window.addEventListener('load', function () {"
              "  let rows = 0, hidden = 0;"
              "  const bar = document.getElementById('filters').getBoundingClientRect();"
              "  for (const row of document.querySelectorAll('tbody tr')) {"
              "    row.scrollIntoView({block: 'end'});"
              "    ++rows;"
              "    hidden += row.getBoundingClientRect().bottom > bar.top + 0.5 ? 1 : 0;"
              "  }"
              "  document.body.setAttribute('data-rows', rows);"
              "  document.body.setAttribute('data-hidden', hidden);"
              "});</script>");
  m_dir.write("driven.html", page);
  const test::run_result run = chromium(
      m_dir, {"--window-size=1000,700", "--dump-dom", file_url(m_dir.file("driven.html"))});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<dom_element> dom = parse_dom(run.out);
  const auto body = std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "body"; });
  ASSERT_NE(body, dom.end());
  EXPECT_GT(number(*body, "data-rows"), 40);
  EXPECT_EQ(number(*body, "data-hidden"), 0);
}

// At 1366×768 the filter bar takes a few lines; its button folds it to one that says what the
// filters keep, and unfolds it.
TEST_F(ReportPageTest, TheFilterBarFoldsToOneLine) {
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  // Three times the bar's height in % of the window; whether open, whether its form shows; and a
  // click on its button.
  add_script(m_dir, "events.html", "folding.html",
             "const bar = document.getElementById('filters'), heights = [], states = [];"
             "const toggle = document.getElementById('filter-toggle');"
             "for (let k = 0; k < 3; ++k, toggle.click()) {"
             "  heights.push(Math.round(100 * bar.offsetHeight / innerHeight));"
             "  states.push(toggle.getAttribute('aria-expanded') + ' ' +"
             "              !!bar.querySelector('form').offsetParent);"
             "}"
             "document.body.setAttribute('data-heights', heights.join(' '));"
             "document.body.setAttribute('data-states', states.join(', '));");
  const test::run_result run = chromium(m_dir, {"--window-size=1366,768", "--dump-dom",
                                                file_url(m_dir.file("folding.html"), "max=500")});
  const std::vector<dom_element> dom = parse_dom(run.out);
  const auto body = std::find_if(dom.begin(), dom.end(), [](auto& _e) { return _e.tag == "body"; });
  ASSERT_TRUE(body != dom.end() && attribute(*body, "data-states")) << run.err;
  EXPECT_EQ(*attribute(*body, "data-states"), "true true, false false, true true");
  int unfolded = 0;
  int folded = 0;
  int again = 0;
  std::istringstream(*attribute(*body, "data-heights")) >> unfolded >> folded >> again;
  EXPECT_LE(unfolded, 20) << "% of the window";
  EXPECT_LE(folded, 8) << "% of the window, folded to one line";
  EXPECT_LT(folded, unfolded);
  EXPECT_EQ(again, unfolded);
  EXPECT_NE(by_id(dom, "filter-summary").text.find("distance at most 500 mm"), std::string::npos);
  EXPECT_TRUE(has(by_id(dom, "filter-toggle"), "type", "button")) << "for the keyboard";
}

// On paper: A4 pages without the filters, each row of a table whole on one page.
TEST_F(ReportPageTest, PrintsOnA4WithoutControls) {
  const test::run_result probe = test::run_in(m_dir, "pdftotext", {"-v"});
  if (probe.status != 0 && std::getenv("CI") == nullptr) {
    GTEST_SKIP() << "pdftotext (poppler-utils, installed by scripts/bootstrap) is missing";
  }
  write_example_result("events.json");
  ASSERT_EQ(report({"events.json"}).status, 0);
  const test::run_result print =
      chromium(m_dir, {"--no-pdf-header-footer", "--print-to-pdf=" + m_dir.file("events.pdf"),
                       file_url(m_dir.file("events.html"))});
  ASSERT_EQ(print.status, 0) << print.err;
  const std::string pdf = m_dir.read("events.pdf");
  EXPECT_NE(pdf.find("/MediaBox [0 0 594.9"), std::string::npos) << "not A4";
  const test::run_result text = test::run_in(m_dir, "pdftotext", {"-layout", "events.pdf", "-"});
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* part :
       {"Floor plot", "Closest approaches", "Objects with most events", "Made from"}) {
    EXPECT_NE(text.out.find(part), std::string::npos) << part;
  }
  for (const char* control : {"Show all", "Largest distance", "Filters"}) {
    EXPECT_EQ(text.out.find(control), std::string::npos) << control;
  }
  // A row of the closest approaches begins with its distance and the day it began, and its
  // time of day (with milliseconds, only there) follows, maybe on the next line: both on the
  // same page.
  const auto row_start = [](const std::string& line) {
    std::size_t at = line.find_first_not_of(" \t");
    const std::size_t digits = line.find_first_not_of("0123456789,", at);
    if (at == std::string::npos || digits == at || digits == std::string::npos) {
      return false;
    }
    if (line.compare(digits, 3, " mm") != 0) {
      return false;
    }
    at = line.find_first_not_of(" \t", digits + 3);
    return at != digits + 3 && at != std::string::npos && line.compare(at, 10, "2026-01-01") == 0;
  };
  const auto time_of_day = [](const std::string& line) {
    static constexpr std::string_view shape = "dd:dd:dd.ddd";
    for (std::size_t at = 0; at + shape.size() <= line.size(); ++at) {
      std::size_t i = 0;
      for (; i < shape.size(); ++i) {
        const char c = line[at + i];
        if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) {
          break;
        }
      }
      if (i == shape.size()) {
        return true;
      }
    }
    return false;
  };
  std::size_t rows = 0;
  std::istringstream pages(text.out);
  for (std::string page; std::getline(pages, page, '\f');) {
    std::size_t starts = 0;
    std::size_t times = 0;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
      starts += row_start(line) ? 1 : 0;
      times += time_of_day(line) ? 1 : 0;
    }
    EXPECT_EQ(starts, times) << page;
    rows += starts;
  }
  EXPECT_EQ(rows, 20U) << "the 20 closest approaches";

  // Their vela-explain commands are in 7 pt or more (a monospaced letter is 0.6 em wide), and
  // break only between their options: each is whole in the text drawn, its lines joined.
  const std::string boxes = test::run_in(m_dir, "pdftotext", {"-bbox", "events.pdf", "-"}).out;
  std::size_t measured = 0;
  for (std::size_t at = 0; (at = boxes.find(">POSITIONS</word>", at)) != std::string::npos;
       ++at, ++measured) {
    double left = 0;
    double right = 0;
    std::sscanf(boxes.c_str() + boxes.rfind("<word ", at),
                "<word xMin=\"%lf\" yMin=\"%*f\" xMax=\"%lf\"", &left, &right);
    EXPECT_GE((right - left) / (std::strlen("POSITIONS") * 0.6), 7.0) << "pt";
  }
  EXPECT_EQ(measured, 20U);
  std::string drawn = test::run_in(m_dir, "pdftotext", {"-raw", "events.pdf", "-"}).out;
  std::replace_if(
      drawn.begin(), drawn.end(), [](char _c) { return _c == '\n' || _c == '\f'; }, ' ');
  std::vector<fact_event> closest = facts_of(m_dir.read("events.json")).events;
  std::partial_sort(closest.begin(), closest.begin() + 20, closest.end(), [](auto& _a, auto& _b) {
    return std::tie(_a.distance_mm, _a.start_ms, _a.number) <
           std::tie(_b.distance_mm, _b.start_ms, _b.number);
  });
  for (auto event = closest.begin(); event != closest.begin() + 20; ++event) {
    EXPECT_NE(drawn.find(explain_command(*event, "DISTANCE_MM")), std::string::npos);
  }
}
}  // namespace
}  // namespace vela
