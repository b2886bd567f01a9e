// vela-summary end to end: the CSV and JSON-lines export of the bundled example's result read
// back field by field (names with commas, quotes and line breaks included), both forms of a
// result on a file and on standard input, site time, the short report's names and order, and
// its command line. Also the companions' time texts at the edges of the calendar.
#include <gtest/gtest.h>
#include <json/json.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;
using row = std::map<std::string, std::string>;  // column -> field; null in JSON reads as ""

// RFC 4180: fields separated by commas, records by CRLF; a quoted field may hold commas, line
// breaks and doubled quotes. Fails the test on anything else.
std::vector<std::vector<std::string>> parse_csv(const std::string& _text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  std::size_t at = 0;
  while (at < _text.size()) {
    if (_text[at] == '"') {
      for (++at; at < _text.size() && !(_text[at] == '"' && _text.compare(at, 2, "\"\"") != 0);
           ++at) {
        at += _text.compare(at, 2, "\"\"") == 0 ? 1 : 0;
        field += _text[at];
      }
      EXPECT_LT(at, _text.size()) << "an unterminated quoted field";
      ++at;
    }
    while (at < _text.size() && _text[at] != ',' && _text[at] != '\r') {
      EXPECT_NE(_text[at], '"') << "a quote in an unquoted field, at byte " << at;
      EXPECT_NE(_text[at], '\n') << "a bare line feed, at byte " << at;
      field += _text[at++];
    }
    record.push_back(field);
    field.clear();
    if (at < _text.size() && _text[at] == ',') {
      ++at;
      continue;
    }
    EXPECT_EQ(_text.compare(at, 2, "\r\n"), 0) << "a record not ended by CRLF, at byte " << at;
    at += 2;
    records.push_back(record);
    record.clear();
  }
  return records;
}

std::vector<row> csv_rows(const std::string& _text) {
  const auto records = parse_csv(_text);
  std::vector<row> rows;
  if (records.empty()) {
    ADD_FAILURE() << "no header";
    return rows;
  }
  for (std::size_t r = 1; r < records.size(); ++r) {
    EXPECT_EQ(records[r].size(), records[0].size()) << "record " << r;
    row fields;
    for (std::size_t c = 0; c < records[0].size() && c < records[r].size(); ++c) {
      fields[records[0][c]] = records[r][c];
    }
    rows.push_back(fields);
  }
  return rows;
}

std::vector<row> jsonl_rows(const std::string& _text) {
  std::vector<row> rows;
  std::istringstream lines(_text);
  for (std::string line; std::getline(lines, line);) {
    const Json::Value object = test::parse_json(line);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    row fields;
    for (const std::string& name : object.getMemberNames()) {
      const Json::Value& value = object[name];
      fields[name] = value.isString() ? value.asString()
                     : value.isNull() ? ""
                                      : std::to_string(value.asInt64());
    }
    rows.push_back(fields);
  }
  return rows;
}

// ISO 8601 in UTC plus _offset_minutes, by the civil calendar of <chrono>.
std::string iso(std::int64_t _ts, std::int64_t _ms, int _offset_minutes) {
  using namespace std::chrono;  // NOLINT: the calendar's many names
  const sys_time<milliseconds> time{milliseconds(_ts * 1000 + _ms + _offset_minutes * 60000LL)};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ld", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), long(clock.hours().count()),
                long(clock.minutes().count()), long(clock.seconds().count()),
                long(clock.subseconds().count()));
  const int offset = _offset_minutes < 0 ? -_offset_minutes : _offset_minutes;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", _offset_minutes < 0 ? '-' : '+', offset / 60,
                offset % 60);
  return std::string(text) + (_offset_minutes == 0 ? "Z" : zone);
}

// The bundled example run by vela on copies in _folder, with names that a spreadsheet must keep
// whole: commas, quotes, line breaks, a leading space, non-ASCII text.
void make_example_result(const test::temp_folder& _folder) {
  for (const char* input : {"positions.csv", "associations.json", "trackables.json"}) {
    boost::filesystem::copy_file(std::string(VELA_EXAMPLE_DIR) + "/" + input, _folder.file(input));
  }
  Json::Value trackables = test::parse_json(_folder.read("trackables.json"));
  const char* tricky[] = {"Smith, Anna",
                          "\"Big\" Tug",
                          "two\nlines",
                          "cr\r\nlf",
                          " spaced ",
                          "Gr\xc3\xbc\xc3\x9f"
                          "e, \"\xe2\x82\xac\"\n",
                          "",
                          "=HYPERLINK(\"http://x\",\"y\")",
                          "@SUM(1)",
                          "-1+2",
                          "\tTab"};
  int k = 0;
  for (Json::Value& object : trackables["trackableObjects"]) {
    const std::string name = tricky[k++ % std::size(tricky)];
    // Names a spreadsheet would run as formulas stand alone.
    object["name"] = std::string("=@-\t").find(name[0]) != std::string::npos
                         ? name
                         : object["name"].asString() + " " + name;
  }
  _folder.write("trackables.json", trackables.toStyledString());
  const test::run_result run =
      test::run_vela(_folder, {"-i", "positions.csv", "-t", "trackables.json", "-a",
                               "associations.json", "-d", "2000", "-o", "events.json", "-s"});
  ASSERT_EQ(run.status, 0) << run.err;
  const test::run_result array =
      test::run_vela(_folder, {"-i", "positions.csv", "-t", "trackables.json", "-a",
                               "associations.json", "-d", "2000", "-s"});
  ASSERT_EQ(array.status, 0) << array.err;
  _folder.write("array.json", array.out);
}

// Checks every field of every row against the events of _result, in order. Without _named the
// rows carry no names, categories or kinds. In CSV (_csv) a text that begins like a formula
// carries a leading apostrophe.
void expect_rows_hold_the_result(const std::vector<row>& _rows, const Json::Value& _result,
                                 bool _named, int _offset_minutes = 0, bool _csv = true) {
  const auto cell = [&](const std::string& _text) {
    const bool formula = !_text.empty() && std::string("=+-@\t\r").find(_text[0]) != std::string::npos;
    return _csv && formula ? "'" + _text : _text;
  };
  std::map<std::string, Json::Value> objects;
  for (const Json::Value& object : _result["trackableObjects"]) {
    objects[object["uid"].asString()] = object;
  }
  const Json::Value& events = _result["events"];
  ASSERT_EQ(_rows.size(), events.size());
  for (Json::ArrayIndex e = 0; e < events.size(); ++e) {
    SCOPED_TRACE("event " + std::to_string(e + 1));
    const Json::Value& event = events[e];
    row fields = _rows[e];
    const std::int64_t ts = event["ts"].asInt64();
    const std::int64_t ms = event["ms"].asInt64();
    EXPECT_EQ(fields["start"], iso(ts, ms, _offset_minutes));
    EXPECT_EQ(fields["end"], iso(ts + event["duration"].asInt64(), ms, _offset_minutes));
    EXPECT_EQ(fields["duration_s"], std::to_string(event["duration"].asInt64()));
    EXPECT_EQ(fields["distance_mm"], std::to_string(event["distance"].asInt64()));
    // The person of a pair first, else the smaller uid.
    const Json::Value* sides[] = {&event["trackables"][0], &event["trackables"][1]};
    const auto category = [&](const Json::Value* _o) {
      return _named ? objects[(*_o)["uid"].asString()]["category"].asString() : "";
    };
    const bool swap = category(sides[0]) != category(sides[1])
                          ? category(sides[1]) == "PERSON"
                          : (*sides[1])["uid"].asString() < (*sides[0])["uid"].asString();
    if (swap) {
      std::swap(sides[0], sides[1]);
    }
    const std::string kind =
        category(sides[0]) == category(sides[1]) ? "vehicle-vehicle" : "person-vehicle";
    EXPECT_EQ(fields["kind"], _named ? kind : "");
    for (int k = 0; k < 2; ++k) {
      const Json::Value& object = *sides[k];
      const std::string side = k == 0 ? "a_" : "b_";
      const std::string uid = object["uid"].asString();
      EXPECT_EQ(fields[side + "uid"], cell(uid));
      EXPECT_EQ(fields[side + "name"], _named ? cell(objects[uid]["name"].asString()) : "");
      EXPECT_EQ(fields[side + "category"], category(&object));
      EXPECT_EQ(fields[side + "driver_uid"],
                object["driver_uid"].isNull() ? "" : cell(object["driver_uid"].asString()));
      EXPECT_EQ(fields[side + "x_mm"], std::to_string(object["x"].asInt64()));
      EXPECT_EQ(fields[side + "y_mm"], std::to_string(object["y"].asInt64()));
    }
    EXPECT_EQ(fields.size(), 17U);
  }
}

class SummaryTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_folder = new test::temp_folder;
    make_example_result(*s_folder);
  }
  static void TearDownTestSuite() { delete s_folder; }

  // _redirect goes before the command, e.g. "<events.json".
  static test::run_result summary(const arguments& _args, const std::string& _redirect = "") {
    return test::run_in(*s_folder, VELA_SUMMARY, _args, _redirect);
  }
  static Json::Value result() { return test::parse_json(s_folder->read("events.json")); }

  static test::temp_folder* s_folder;
};
test::temp_folder* SummaryTest::s_folder = nullptr;

TEST_F(SummaryTest, CsvGivesBackEveryFieldOfEveryEvent) {
  const test::run_result run = summary({"--csv", "events.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(
      run.out.rfind("start,end,duration_s,distance_mm,kind,a_uid,a_name,a_category,a_driver_uid,"
                    "a_x_mm,a_y_mm,b_uid,b_name,b_category,b_driver_uid,b_x_mm,b_y_mm\r\n",
                    0),
      0U);
  EXPECT_NE(run.out.find("\"\"Big\"\" Tug"), std::string::npos) << "quotes are doubled";
  EXPECT_GT(result()["events"].size(), 100U);
  expect_rows_hold_the_result(csv_rows(run.out), result(), true);
}

TEST_F(SummaryTest, TimeZoneGivesTheSiteClock) {
  // The bundled example lies in January: Europe/Berlin is then UTC+01:00.
  const test::run_result run = summary({"--csv", "--time-zone", "Europe/Berlin", "events.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  expect_rows_hold_the_result(csv_rows(run.out), result(), true, 60);
}

TEST_F(SummaryTest, JsonLinesHoldTheSameFields) {
  const test::run_result run = summary({"--jsonl", "--utc-offset", "-05:30", "events.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  expect_rows_hold_the_result(jsonl_rows(run.out), result(), true, -330, false);
  EXPECT_NE(run.out.find("\"a_driver_uid\":null"), std::string::npos);
}

TEST_F(SummaryTest, EveryFormOnAFileAndOnStandardInput) {
  enum class given { named, redirected, piped };
  const struct {
    const char* why;
    const char* file;
    given how;
    bool named;
    bool noted;  // the note that the names came too late for the rows
  } rows[] = {
      {"the document, named", "events.json", given::named, true, false},
      {"the document redirected: read twice", "events.json", given::redirected, true, false},
      {"the document piped: read once", "events.json", given::piped, false, true},
      {"the events array, named", "array.json", given::named, false, false},
      {"the events array piped", "array.json", given::piped, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string file = row.file;
    test::run_result run;
    if (row.how == given::named) {
      run = summary({"--csv", file});
    } else if (row.how == given::redirected) {
      run = summary({"--csv", "-"}, "<" + file);
    } else {
      const std::string pipeline =
          "cat " + file + " | " + test::shell_quote(VELA_SUMMARY) + " --csv -";
      run = test::run_in(*s_folder, "sh", {"-c", pipeline});
    }
    EXPECT_EQ(run.status, 0) << run.err;
    expect_rows_hold_the_result(csv_rows(run.out), result(), row.named);
    EXPECT_EQ(run.err.find("the names and categories come after the events") != std::string::npos,
              row.noted)
        << run.err;
  }
}

// Text as the report shows it: control characters as \xHH, a backslash doubled.
std::string escaped(const std::string& _text) {
  std::string shown;
  for (const char c : _text) {
    const auto byte = static_cast<unsigned char>(c);
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    shown += byte < 0x20 || byte == 0x7f ? hex : c == '\\' ? "\\\\" : std::string(1, c);
  }
  return shown;
}

TEST_F(SummaryTest, ShortReportNamesObjectsPersonFirstInSiteTime) {
  const Json::Value document = result();
  std::map<std::string, Json::Value> objects;
  for (const Json::Value& object : document["trackableObjects"]) {
    objects[object["uid"].asString()] = object;
  }
  const Json::Value* closest = nullptr;
  std::size_t person_vehicle = 0;
  for (const Json::Value& event : document["events"]) {
    if (closest == nullptr || event["distance"].asInt64() < (*closest)["distance"].asInt64()) {
      closest = &event;
    }
    person_vehicle += objects[event["trackables"][0]["uid"].asString()]["category"] !=
                      objects[event["trackables"][1]["uid"].asString()]["category"];
  }
  ASSERT_NE(closest, nullptr);
  std::string person = (*closest)["trackables"][0]["uid"].asString();
  std::string vehicle = (*closest)["trackables"][1]["uid"].asString();
  if (objects[person]["category"].asString() != "PERSON") {
    std::swap(person, vehicle);
  }
  ASSERT_EQ(objects[person]["category"].asString(), "PERSON") << "the example's closest pair";
  const auto shown = [&](const std::string& _uid) {
    return _uid + " (" + escaped(objects[_uid]["name"].asString()) + ")";
  };
  std::string start = iso((*closest)["ts"].asInt64(), (*closest)["ms"].asInt64(), 60);
  start[10] = ' ';
  const std::string expected =
      "Closest approaches:\n  " + std::to_string((*closest)["distance"].asInt64()) + " mm  " +
      shown(person) + " - " + shown(vehicle) + "  at " + start.substr(0, 23) + " +01:00 for " +
      std::to_string((*closest)["duration"].asInt64()) + " s\n";
  const test::run_result run = summary({"--utc-offset", "+01:00", "events.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind(std::to_string(document["events"].size()) +
                              " events: " + std::to_string(person_vehicle) + " person-vehicle, " +
                              std::to_string(document["events"].size() - person_vehicle) +
                              " vehicle-vehicle\n",
                          0),
            0U)
      << run.out;
  EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\nin:\n" << run.out;
}

TEST_F(SummaryTest, RefusesWhatIsNotAResult) {
  const struct {
    std::string content;
    const char* reason;
  } rows[] = {
      {"{\"events\": [", "truncated"},
      {std::string("[]\0{\"x", 6), "more follows at byte offset 2"},
      {"{\"events\": {}, \"trackableObjects\": []}", "\"events\" is not an array"},
      {"[{\"distance\": \"1 m\"}]", "\"distance\" is not a whole number"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    s_folder->write("bad.json", row.content);
    for (const char* form : {"--csv", "--jsonl"}) {
      const test::run_result run = summary({form, "bad.json"});
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.out, "") << "the file is read whole before the first row";
      EXPECT_NE(run.err.find("vela-summary: bad.json: "), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(row.reason), std::string::npos) << run.err;
    }
  }
  const test::run_result empty = summary({"-"}, "</dev/null");
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("vela-summary: standard input: empty"), std::string::npos) << empty.err;
  s_folder->write("empty.json", "[]");
  const test::run_result none = summary({"empty.json"});
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "0 events\n");
}

TEST_F(SummaryTest, CommandLine) {
  const test::run_result help = summary({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vela-summary ", 0), 0U) << help.out;
  const struct {
    arguments args;
    const char* message;
  } mistakes[] = {
      {{}, "no result given"},
      {{"events.json", "array.json"}, "unexpected argument 'array.json'"},
      {{"--bogus", "events.json"}, "unknown option '--bogus'"},
      {{"--csv=1", "events.json"}, "'--csv' takes no value"},
      {{"events.json", "--utc-offset"}, "'--utc-offset' needs a value"},
      {{"--utc-offset", "+1:00", "events.json"},
       "--utc-offset: expected +HH:MM or -HH:MM, not '+1:00'"},
      {{"--utc-offset", "+01:00", "--time-zone", "Europe/Berlin", "events.json"},
       "--utc-offset and --time-zone: give one of them, not both"},
      {{"--time-zone", "Mars/Olympus", "events.json"},
       "--time-zone: 'Mars/Olympus' is not a zone of the system's time-zone database"},
  };
  for (const auto& row : mistakes) {
    SCOPED_TRACE(row.message);
    const test::run_result run = summary(row.args);
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.err, std::string("vela-summary: ") + row.message + " (see --help)\n");
    EXPECT_EQ(run.out, "");
  }
  // The result among the options or after them, after "--" when its name begins with "-", or on
  // standard input as "-": the same report.
  s_folder->write("-events.json", s_folder->read("events.json"));
  const test::run_result first = summary({"--utc-offset", "+01:00", "events.json"});
  ASSERT_EQ(first.status, 0) << first.err;
  for (const arguments& same : {arguments{"events.json", "--utc-offset=+01:00"},
                                arguments{"--utc-offset", "+01:00", "--", "-events.json"},
                                arguments{"-", "--utc-offset", "+01:00"}}) {
    SCOPED_TRACE(testing::PrintToString(same));
    const test::run_result run = summary(same, "<events.json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, first.out);
  }
}

// The site's zones: every event in the one that covers the site, none in the one far away.
TEST_F(SummaryTest, CountsTheEventsOfEachZone) {
  s_folder->write("zones.geojson", R"({"type": "FeatureCollection", "features": [
      {"type": "Feature", "properties": {"name": "Far away"}, "geometry": {"type": "Polygon",
       "coordinates": [[[1000, 1000], [1001, 1000], [1001, 1001], [1000, 1000]]]}},
      {"type": "Feature", "properties": {"name": "Site"}, "geometry": {"type": "MultiPolygon",
       "coordinates": [[[[-1, -1], [100, -1], [100, 100], [-1, 100], [-1, -1]]]]}}]})");
  const test::run_result run = summary({"--zones", "zones.geojson", "events.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string events = std::to_string(result()["events"].size());
  const std::string expected =
      "Events by zone (an event in overlapping zones counts in each):\n  " + events +
      " events  Site\n  0 events  Far away\n  0 events  outside every zone\n";
  ASSERT_GE(run.out.size(), expected.size());
  EXPECT_EQ(run.out.substr(run.out.size() - expected.size()), expected) << run.out;
  const test::run_result plain = summary({"events.json"});
  EXPECT_EQ(plain.out, run.out.substr(0, run.out.size() - expected.size())) << "only with zones";
}

}  // namespace
}  // namespace vela
