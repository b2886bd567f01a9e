// vela-check: a recording with one planted fault per warning, the statuses it shares with vela,
// that it leaves its inputs as they were, and that it accepts exactly the lines the replay moves
// an object with. Also the bounded count of the most frequent unknown uids, and the command line
// as every companion reads it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/progress.hpp"
#include "exception.hpp"
#include "files/byte_source.hpp"
#include "recording/line_feed.hpp"
#include "check/input_check.hpp"
#include "replay_fixture.hpp"
#include "site/site.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;
using line_numbers = std::vector<std::uint64_t>;

// Every file of a folder with its content.
std::map<std::string, std::string> snapshot(const test::temp_folder& _folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : boost::filesystem::directory_iterator(_folder.path())) {
    const std::string name = entry.path().filename().string();
    files[name] = boost::filesystem::is_regular_file(entry.status()) ? _folder.read(name) : "?";
  }
  return files;
}

// Runs vela-check in _folder and checks that it left every file there as it was.
test::run_result run_check(const test::temp_folder& _folder, const arguments& _args) {
  const auto before = snapshot(_folder);
  test::run_result run = test::run_in(_folder, VELA_CHECK, _args);
  EXPECT_EQ(snapshot(_folder), before) << "vela-check changed its folder";
  return run;
}

arguments inputs(const arguments& _more = {}) {
  arguments args = {"-i", "positions.csv", "-t", "trackables.json", "-a", "associations.json"};
  args.insert(args.end(), _more.begin(), _more.end());
  return args;
}

// The warnings of a --json report by code, the positions' malformed lines by code, column and
// reason: "malformed-line 5 no-digit".
std::map<std::string, Json::Value> warnings_by_key(const Json::Value& _report) {
  std::map<std::string, Json::Value> found;
  for (const Json::Value& warning : _report["warnings"]) {
    std::string key = warning["section"].asString() + " " + warning["code"].asString();
    if (warning.isMember("column")) {
      key += " " + std::to_string(warning["column"].asUInt()) + " " + warning["reason"].asString();
    }
    EXPECT_EQ(found.count(key), 0U) << key << " reported twice";
    found[key] = warning;
  }
  return found;
}

line_numbers examples_at(const Json::Value& _warning) {
  line_numbers at;
  for (const Json::Value& example : _warning["examples"]) {
    at.push_back(example[example.isMember("line") ? "line" : "entry"].asUInt64());
  }
  return at;
}

constexpr const char* clean_trackables = R"({"trackableObjects": [
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "V1", "name": "Forklift 1", "category": "VEHICLE"}]})";
constexpr const char* no_associations = R"({"vehicle_driver_associations": []})";

// ---- One fault per warning ---------------------------------------------------------------

// The site: P1, P2, P3, V1 and V3. Entries 4 and 5 are passed over.
constexpr const char* faulty_trackables = R"({"trackableObjects": [
  {"uid": "P1", "name": "Anna", "category": "PERSON", "t2t_no_alarm_uid": ["V1", "GHOST"]},
  {"uid": "V1", "name": "Forklift 1", "category": "VEHICLE"},
  {"uid": "P2", "name": "Ben", "category": "PERSON", "t2t_no_alarm_uid": "V1"},
  {"uid": "V2", "name": "Tug", "category": "Vehicle"},
  {"uid": "P1", "name": "Anna again", "category": "PERSON"},
  {"uid": "V3", "name": "Forklift 3", "category": "VEHICLE", "t2t_no_alarm_uid": [7, "P1"]},
  {"uid": "P3", "name": "Absent", "category": "PERSON"}]})";

// The recording runs from 1767225600 to 1767225620.
constexpr const char* faulty_associations = R"({"vehicle_driver_associations": [
  {"vehicle_uid": "V1", "driver_uid": "P1", "created_at": 1767225601, "removed_at": 1767225610},
  {"vehicle_uid": "V9", "driver_uid": "P1"},
  {"vehicle_uid": "V1", "driver_uid": "P2", "created_at": 1767225700},
  {"vehicle_uid": "V1", "driver_uid": "P2", "created_at": 1767224600, "removed_at": 1767225000},
  {"vehicle_uid": "V1", "driver_uid": "P2", "created_at": 1767225200, "removed_at": 1767225400},
  {"vehicle_uid": "P2", "driver_uid": "P1", "created_at": 1767225602, "removed_at": 1767225603},
  {"vehicle_uid": "V3", "driver_uid": "V1", "created_at": 1767225602, "removed_at": 1767225603},
  {"vehicle_uid": "V1", "driver_uid": "P1", "created_at": 1767225605, "removed_at": 1767225604},
  {"vehicle_uid": "V3", "driver_uid": "P2", "created_at": 1767225600000}]})";

constexpr const char* faulty_positions =
    "1,1767225600,0,m,0,0,0,P1,s,p,T\n"                // 1
    "\n"                                               // 2 empty
    "id,ts,ms,mac,x,y,z,obj,sub,prj,type\n"            // 3 header
    "4,1767225600,500,m,3000,4000,0,V1,s,p,T\n"        // 4
    "5,1767225601,0,m,abc,0,0,P1,s,p,T\n"              // 5 x without a number
    "6,1767225601,0,m,0,0,0,GHOST,s,p,T\n"             // 6 not on the site
    "7,1767225602,0,m,-1000,0,0,V1,s,p,T\n"            // 7
    "8,1767225602,0,m,0,0,0,P1,s,p\n"                  // 8 ten fields
    "9,1767225601,0,m,10,10,0,P1,s,p,T\n"              // 9 back in time after line 7
    "10,1767225603,0,m,2147483648,0,0,V1,s,p,T\n"      // 10 x beyond 32 bits
    "11,1767225603,0,m,0,0,0,GHOST,s,p,T\n"            // 11 not on the site
    "12,1767225604,0,m,0,0,0,X2,s,p,T\n"               // 12 not on the site
    "13,1767225620,0,m,0,-2500,0,P2,s,p,T\n"           // 13 the last time
    "14,1767225605,0,m,0,0,0,V3,s,p,T\n"               // 14 back in time after line 13
    "abc\r\n"                                          // 15 no number in the id
    "16,1767225606,0,m,5,5,5,P1,s,p,T,more,fields\r";  // 16 accepted, no newline at the end

TEST(CheckTest, ReportsEachPlantedFaultWithItsCountAndPlaces) {
  test::temp_folder folder;
  folder.write("trackables.json", faulty_trackables);
  folder.write("associations.json", faulty_associations);
  folder.write("positions.csv", faulty_positions);
  const test::run_result run = run_check(folder, inputs({"--json"}));
  ASSERT_EQ(run.status, 1) << run.err;
  const Json::Value report = test::parse_json(run.out);
  std::map<std::string, Json::Value> warnings = warnings_by_key(report);
  const struct {
    const char* key;
    std::uint64_t count;
    line_numbers at;  // lines of the position file, or entries of a JSON list
  } rows[] = {
      {"trackables unknown-category", 1, {4}},
      {"trackables repeated-uid", 1, {5}},
      {"trackables no-alarm-unknown-uid", 1, {1}},
      {"trackables no-alarm-ignored", 2, {3, 6}},
      {"associations unknown-object", 1, {2}},
      {"associations after-recording", 1, {3}},
      {"associations before-recording", 1, {4}},  // entry 5 ended less than 5 minutes before
      {"associations vehicle-not-vehicle", 1, {6}},
      {"associations driver-not-person", 1, {7}},
      {"associations ends-before-start", 1, {8}},
      {"associations milliseconds", 1, {9}},
      {"positions malformed-line 1 missing-field", 1, {2}},
      {"positions malformed-line 1 no-digit", 2, {3, 15}},
      {"positions malformed-line 5 no-digit", 1, {5}},
      {"positions malformed-line 11 missing-field", 1, {8}},
      {"positions malformed-line 5 out-of-range", 1, {10}},
      {"positions unknown-object", 3, {6, 11, 12}},
      {"positions time-backwards", 2, {9, 14}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    ASSERT_EQ(warnings.count(row.key), 1U);
    EXPECT_EQ(warnings[row.key]["count"].asUInt64(), row.count);
    EXPECT_EQ(examples_at(warnings[row.key]), row.at);
    warnings.erase(row.key);
  }
  for (const auto& [key, warning] : warnings) {
    ADD_FAILURE() << "unexpected warning " << key << ": " << warning["message"].asString();
  }
  const Json::Value& positions = report["positions"];
  EXPECT_EQ(positions["lines_read"].asUInt64(), 16U);
  EXPECT_EQ(positions["accepted"].asUInt64(), 7U);
  EXPECT_EQ(positions["malformed"].asUInt64(), 6U);
  EXPECT_EQ(positions["unknown_object_lines"].asUInt64(), 3U);
  EXPECT_EQ(positions["most_frequent_unknown"][0]["uid"].asString(), "GHOST");
  EXPECT_EQ(positions["most_frequent_unknown"][0]["lines"].asUInt64(), 2U);
  EXPECT_EQ(positions["most_frequent_unknown"][1]["uid"].asString(), "X2");
  EXPECT_EQ(positions["never_seen"], test::parse_json(R"(["P3"])"));
  EXPECT_EQ(positions["first_time"]["ts"].asInt64(), 1767225600);
  EXPECT_EQ(positions["last_time"]["ts"].asInt64(), 1767225620);
  EXPECT_EQ(positions["bounding_box_mm"],
            test::parse_json(R"({"x_min": -1000, "x_max": 3000, "y_min": -2500, "y_max": 4000})"));
  EXPECT_EQ(report["trackables"]["persons"].asUInt(), 3U);
  EXPECT_EQ(report["trackables"]["vehicles"].asUInt(), 2U);
  EXPECT_EQ(report["associations"]["on_site"].asUInt(), 8U);
}

TEST(CheckTest, TextReportSaysTheSameForPeople) {
  test::temp_folder folder;
  folder.write("trackables.json", faulty_trackables);
  folder.write("associations.json", faulty_associations);
  folder.write("positions.csv", faulty_positions);
  const test::run_result run = run_check(folder, inputs());
  EXPECT_EQ(run.status, 1) << run.err;
  for (const char* expected : {
           "16 lines read, 7 accepted, 6 malformed, 3 naming objects not on the site\n",
           "objects seen: 4 of 5; never seen: P3\n",
           "most frequent objects not on the site: GHOST (2 lines), X2 (1 line)\n",
           "x from -1000 to 3000 mm, y from -2500 to 4000 mm\n",
           "\n18 warnings:\n",
           "  positions: 2 lines malformed: column 1 (id) holds no number\n"
           "    line 3: id,ts,ms,mac,x,y,z,obj,sub,prj,type\n"
           "    line 15: abc\\x0d\n",
           "    entry 6: \"V3\": 7 is not a text\n",
           "first line 9 at 2026-01-01 00:00:01.000 UTC after line 7 at 2026-01-01 00:00:02.000 "
           "UTC",
       }) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\nin:\n" << run.out;
  }
  EXPECT_EQ(run.out.find("line 16"), run.out.rfind("line 16")) << "line 16 is accepted";
}

TEST(CheckTest, RecordingsOfOneFaultEach) {
  const struct {
    const char* why;
    std::string positions;
    arguments more;
    const char* key;  // the one warning expected; empty for none
    line_numbers at;
  } rows[] = {
      {"clean",
       "1,1767225600,0,m,0,0,0,P1,s,p,T\n2,1767225601,0,m,9000,0,0,V1,s,p,T\n",
       {},
       "",
       {}},
      {"an empty recording is valid", "", {}, "", {}},
      {"seconds in milliseconds",
       "1,1767225600,0,m,0,0,0,P1,s,p,T\n2,1767225600500,0,m,0,0,0,V1,s,p,T\n",
       {},
       "positions milliseconds",
       {2}},
      {"not one position line", "a;b;c\n\nd;e;f\n", {}, "positions no-position-line", {}},
      {"carriage returns alone", "1,1767225600,0,m,0,0,0,P1,s,p,T\r2,1767225601,0,m,0,0,0,V1,s,p,T",
       {}, "positions carriage-returns-alone", {}},
      {"the recording of another site", "1,1767225600,0,m,0,0,0,X1,s,p,T\n", {},
       "positions no-line-of-the-site", {}},
      {"threshold 0", "1,1767225600,0,m,0,0,0,P1,s,p,T\n", {"-d", "0"}, "threshold zero", {}},
      {"threshold in metres",
       "1,1767225600,0,m,0,0,0,P1,s,p,T\n2,1767225601,0,m,12000,5000,0,V1,s,p,T\n",
       {"-d", "2"},
       "threshold metres",
       {}},
      {"threshold beyond the site",
       "1,1767225600,0,m,0,0,0,P1,s,p,T\n2,1767225601,0,m,1200,500,0,V1,s,p,T\n",
       {"-d", "1300"},
       "threshold beyond-site",
       {}},
      {"a plausible threshold",
       "1,1767225600,0,m,0,0,0,P1,s,p,T\n2,1767225601,0,m,12000,5000,0,V1,s,p,T\n",
       {"-d", "2000mm"},
       "",
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    test::temp_folder folder;
    folder.write("trackables.json", clean_trackables);
    folder.write("associations.json", no_associations);
    folder.write("positions.csv", row.positions);
    arguments args = inputs(row.more);
    args.push_back("--json");
    const test::run_result run = run_check(folder, args);
    EXPECT_EQ(run.status, *row.key == '\0' ? 0 : 1) << run.err;
    std::map<std::string, Json::Value> warnings = warnings_by_key(test::parse_json(run.out));
    if (*row.key != '\0') {
      ASSERT_EQ(warnings.count(row.key), 1U) << run.out;
      EXPECT_EQ(examples_at(warnings[row.key]), row.at);
      if (warnings[row.key].isMember("vela_message")) {  // a refusal: vela's status and line
        const test::run_result vela = test::run_vela(folder, inputs({"-s", "-d", "0"}));
        EXPECT_EQ(vela.status, warnings[row.key]["vela_status"].asInt());
        EXPECT_EQ(vela.err, warnings[row.key]["vela_message"].asString() + "\n");
      }
      warnings.erase(row.key);
    }
    warnings.erase("positions unknown-object");  // the line of "the recording of another site"
    warnings.erase("positions malformed-line 1 no-digit");  // the lines of "not one position line"
    warnings.erase("positions malformed-line 1 missing-field");
    EXPECT_TRUE(warnings.empty()) << run.out;
  }
}

// ---- The statuses vela-check shares with vela ----------------------------------------------

TEST(CheckTest, EndsAsVelaWouldWithVelasMessage) {
  const std::string valid_positions = "1,1767225600,0,m,0,0,0,P1,s,p,T\n";
  const struct {
    const char* why;
    const char* trackables;  // nullptr: no such file
    const char* associations;
    bool positions_folder;
    int status;
  } rows[] = {
      {"no trackables file", nullptr, no_associations, false, 2},
      {"trackables not JSON", "{\"trackableObjects\": [", no_associations, false, 3},
      {"the two JSON files the wrong way round", no_associations, clean_trackables, false, 3},
      {"a trackable without a name", R"({"trackableObjects": [{"uid": "P1", "category": "X"}]})",
       no_associations, false, 3},
      {"the position file a folder", clean_trackables, no_associations, true, 2},
      {"no association file", clean_trackables, nullptr, false, 2},
      {"associations not JSON", clean_trackables, "[1,,]", false, 3},
      {"the association list a number", clean_trackables, R"({"vehicle_driver_associations": 5})",
       false, 3},
      {"an association of known objects without created_at", clean_trackables,
       R"({"vehicle_driver_associations": [{"vehicle_uid": "V1", "driver_uid": "P1"}]})", false, 3},
      {"no vehicle but a misspelt one",
       R"({"trackableObjects": [{"uid": "P1", "name": "A", "category": "PERSON"},
                                {"uid": "V1", "name": "F", "category": "Vehicle"}]})",
       no_associations, false, 3},
      {"the trackables file as the association file", clean_trackables, clean_trackables, false, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    test::temp_folder folder;
    if (row.trackables != nullptr) {
      folder.write("trackables.json", row.trackables);
    }
    if (row.associations != nullptr) {
      folder.write("associations.json", row.associations);
    }
    if (row.positions_folder) {
      boost::filesystem::create_directory(folder.file("positions.csv"));
    } else {
      folder.write("positions.csv", valid_positions);
    }
    arguments with_s = inputs({"-s", "-d", "0"});
    const test::run_result vela = test::run_vela(folder, with_s);
    const test::run_result check = run_check(folder, inputs());
    EXPECT_EQ(vela.status, row.status) << vela.err;
    EXPECT_EQ(check.status, row.status) << check.err;
    EXPECT_EQ(check.err, vela.err);
    EXPECT_EQ(check.out, "");
  }
}

TEST(CheckTest, CommandLine) {
  const struct {
    arguments args;
    int status;
    const char* out;  // the start of standard output
    const char* err;  // a part of standard error
  } rows[] = {
      {{"--help"}, 0, "Usage: vela-check -i POSITIONS.csv", ""},
      {{"--version"}, 0, "vela-check " VELA_VERSION "\n", ""},
      {{}, 64, "", "-i, -t and -a are required"},
      {{"-i", "p.csv", "-t", "t.json"}, 64, "", "-i, -t and -a are required"},
      {inputs({"-d", "mm"}), 64, "", "invalid distance in mm -- 'mm'"},
      {inputs({"-d", "2m"}), 64, "", "invalid distance in mm -- '2m'"},
      {inputs({"--bogus"}), 64, "", "unknown option '--bogus'"},
      {inputs({"-d"}), 64, "", "'-d' needs a value"},
      {inputs({"extra"}), 64, "", "unexpected argument 'extra'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    test::temp_folder folder;
    const test::run_result run = run_check(folder, row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.out.rfind(row.out, 0), 0U) << run.out;
    EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
  }
}

// ---- Agreement with the replay -------------------------------------------------------------

// How the replay takes one line of a recording, replayed alone: moved an object, refused it
// (a non-empty file without one position line), or skipped it. Whether a line moves an object
// depends on the line alone, so this classifies every line as the full replay takes it.
enum class taken { moved, refused, skipped };

taken replay_alone(const site& _site, const std::string& _line) {
  const std::string content = _line + "\n";
  memory_source source(content);
  line_feed feed(source, 1 << 12, _site, false);
  bool fed = false;
  while (const line_batch* batch = feed.next()) {
    fed = fed || !batch->lines.empty();
  }
  if (const std::string why = feed.counts().refusal("p.csv"); !why.empty()) {
    // Alone, a line of an object not on the site makes the recording of another site.
    return why.find("of the site") != std::string::npos ? taken::skipped : taken::refused;
  }
  // Simulated times are never (0, 0), so a line the replay takes moves its object.
  return fed ? taken::moved : taken::skipped;
}

TEST(CheckTest, AcceptsExactlyTheLinesTheReplayMovesAnObjectWith) {
  for (const char* seed : {"3", "17"}) {
    SCOPED_TRACE(seed);
    test::temp_folder folder;
    ASSERT_EQ(test::run_in(folder, VELA_SIMULATE,
                           {"--out", ".", "--persons", "6", "--vehicles", "3", "--minutes", "2",
                            "--noise", "0.1", "--seed", seed})
                  .status,
              0);
    test::replay_inputs inputs_read{folder.read("positions.csv"), folder.read("trackables.json"),
                                    folder.read("associations.json")};
    site loaded;
    test::load_site(inputs_read, loaded);
    std::map<taken, std::uint64_t> counts;
    std::uint64_t empty_lines = 0;
    std::istringstream lines(inputs_read.positions);
    for (std::string line; std::getline(lines, line);) {
      ++counts[replay_alone(loaded, line)];
      empty_lines += line.empty() ? 1 : 0;
    }
    const test::run_result run = run_check(folder, inputs({"--json"}));
    const Json::Value positions = test::parse_json(run.out)["positions"];
    EXPECT_GT(counts[taken::refused], 10U) << "the recording is noisy";
    EXPECT_GT(counts[taken::skipped], 10U);
    EXPECT_EQ(positions["accepted"].asUInt64(), counts[taken::moved]);
    EXPECT_EQ(positions["malformed"].asUInt64(), counts[taken::refused] + empty_lines);
    EXPECT_EQ(positions["unknown_object_lines"].asUInt64(), counts[taken::skipped] - empty_lines);
  }
}

// ---- Pieces ----------------------------------------------------------------------------------

TEST(CheckTest, FrequentTextsAreExactWithinCapacityAndKeepTheHeavyOnesBeyond) {
  check::frequent_texts few(4);
  for (const char* uid : {"B", "A", "B", "C", "B", "A"}) {
    few.add(uid);
  }
  EXPECT_TRUE(few.exact());
  const auto top = few.top(2);
  ASSERT_EQ(top.size(), 2U);
  EXPECT_EQ(top[0].uid + "=" + std::to_string(top[0].lines), "B=3");
  EXPECT_EQ(top[1].uid + "=" + std::to_string(top[1].lines), "A=2");

  // Long uids of one start are kept by their start and told apart by the rest.
  check::frequent_texts cut(4);
  const std::string start(check::kept_text_bytes, 'u');
  for (const char* end : {"1", "2", "1"}) {
    cut.add(start + std::string(1000, 'v') + end);
  }
  const auto kept = cut.top(4);
  ASSERT_EQ(kept.size(), 2U);
  EXPECT_EQ(kept[0].lines, 2U);
  EXPECT_EQ(kept[0].uid, start);
  EXPECT_EQ(kept[1].uid, start);

  // 1,000 distinct rare uids among three frequent ones, each more than total / capacity.
  constexpr std::uint64_t capacity = 16;
  check::frequent_texts many(capacity);
  std::uint64_t total = 0;
  for (int k = 0; k < 1000; ++k) {
    many.add("rare" + std::to_string(k));
    many.add(k % 3 == 0 ? "H1" : "");
    many.add(k % 2 == 0 ? "H2" : "");
    total += 3;
  }
  EXPECT_FALSE(many.exact());
  const auto heavy = many.top(3);
  ASSERT_EQ(heavy.size(), 3U);
  std::map<std::string, std::uint64_t> held;
  for (const auto& one : heavy) {
    held[one.uid] = one.lines;
  }
  // The empty uid came 1,166 times, H2 500, H1 334: counts never below the truth.
  EXPECT_GE(held[""], 1166U);
  EXPECT_GE(held["H2"], 500U);
  EXPECT_GE(held["H1"], 334U);
  EXPECT_LE(held["H1"], 334U + total / capacity);
}

}  // namespace
}  // namespace vela
