// Loading of the trackables and association files through application::init, and the reader
// settings both files share. The inputs are kept (-s), and standard error is captured.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
constexpr const char* end_of_time = "9223372036854775807";  // 2^63 - 1 seconds
constexpr const char* logic_error_text = "requires objectValue or nullValue";
constexpr const char* known_objects = R"({"trackableObjects": [
  {"uid": "V1", "name": "Forklift", "category": "VEHICLE"},
  {"uid": "V2", "name": "Loader", "category": "VEHICLE"},
  {"uid": "D1", "name": "Anna", "category": "PERSON"},
  {"uid": "D2", "name": "Ben", "category": "PERSON"}]})";

std::string associations(const std::string& _list) {
  return R"({"vehicle_driver_associations": )" + _list + "}";
}

std::string nested_arrays(std::size_t _depth) {
  return std::string(_depth, '[') + std::string(_depth, ']');
}

// Restores standard error on every path, so a failing check cannot leave it redirected.
struct cerr_capture {
  std::ostringstream text;
  std::streambuf* const original = std::cerr.rdbuf(text.rdbuf());
  ~cerr_capture() { std::cerr.rdbuf(original); }
};

class LoadingTest : public testing::Test {
 protected:
  exit_code load(const std::string& _trackables, const std::string& _associations = "{}") {
    m_dir.write("t.json", _trackables);
    m_dir.write("a.json", _associations);
    m_dir.write("p.csv", "");
    m_app.emplace(m_dir.file("p.csv"), m_dir.file("t.json"), m_dir.file("a.json"), 0, "", true);
    cerr_capture capture;
    const exit_code res = m_app->init();
    m_err = capture.text.str();
    return res;
  }
  // The trackables table in key order, one "uid=name/category" per object.
  std::vector<std::string> objects() const {
    std::vector<std::string> text;
    for (const site_object& obj : m_app->loaded_site().objects()) {
      text.push_back(obj.uid + "=" + obj.name + (obj.category == category::person ? "/P" : "/V"));
    }
    return text;
  }
  // The association table in its order, one "ts:ms vehicle driver start|end" per record.
  std::vector<std::string> records() const {
    std::vector<std::string> text;
    const site& loaded = m_app->loaded_site();
    for (const association_record& vda : loaded.associations()) {
      text.push_back(std::to_string(vda.timestamp.ts) + ":" + std::to_string(vda.timestamp.ms) +
                     " " + loaded.object(vda.vehicle).uid + " " + loaded.object(vda.driver).uid +
                     (vda.created ? " start" : " end"));
    }
    return text;
  }
  // A loader's failure: one line without the file name, the text in parentheses. The logic
  // error's wording differs between library versions; only its stable part is matched.
  void expect_loader_failure(exit_code _res, const std::string& _text) const {
    EXPECT_EQ(_res, exit_code::SYNC_FAILURE_PARSING_INPUT_FILE);
    if (_text != logic_error_text) {
      EXPECT_EQ(m_err, "Error parsing file: (" + _text + ")\n");
      return;
    }
    EXPECT_TRUE(m_err.starts_with("Error parsing file: (") && m_err.ends_with(")\n")) << m_err;
    EXPECT_NE(m_err.find(_text), std::string::npos) << m_err;
    EXPECT_EQ(m_err.find('\n'), m_err.size() - 1) << m_err;
  }

  test::temp_folder m_dir;
  std::optional<application> m_app;
  std::string m_err;
};

TEST_F(LoadingTest, TrackablesWithoutObjectsGiveAnEmptyTable) {
  for (const char* doc : {R"({"trackableObjects": []})", R"({"trackableObjects": {}})"}) {
    SCOPED_TRACE(doc);
    EXPECT_EQ(load(doc), exit_code::SYNC_SUCCESS);
    EXPECT_EQ(m_app->loaded_site().size(), 0U);
    EXPECT_EQ(m_err, "");
  }
}

// A document without its list is some other file (the two JSON inputs swapped, say): refused,
// naming the file, rather than read as a site or a day without anything in it.
TEST_F(LoadingTest, DocumentsWithoutTheirListAreRefusedNamingTheFile) {
  const std::string missing = " (field \"trackableObjects\" not found)\n";
  const std::string not_a_list = " (field \"trackableObjects\" is not an array)\n";
  const std::string vdas_not_a_list = " (field \"vehicle_driver_associations\" is not an array)\n";
  const struct {
    std::string trackables;
    std::string associations;
    bool in_trackables;  // which file the message names
    std::string tail;
  } rows[] = {
      {associations("[]"), "{}", true, missing},
      {"{}", "{}", true, missing},
      {"null", "{}", true, missing},
      {R"({"trackableObjects": null})", "{}", true, not_a_list},
      {R"({"trackableObjects": 5})", "{}", true, not_a_list},
      {R"({"trackableObjects": "P1"})", "{}", true, not_a_list},
      {R"({"trackableObjects": false})", "{}", true, not_a_list},
      {known_objects, associations("5"), false, vdas_not_a_list},
      {known_objects, associations(R"("V1")"), false, vdas_not_a_list},
      {known_objects, associations("true"), false, vdas_not_a_list},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.trackables + " / " + row.associations);
    EXPECT_EQ(load(row.trackables, row.associations), exit_code::SYNC_FAILURE_PARSING_INPUT_FILE);
    const std::string file = m_dir.file(row.in_trackables ? "t.json" : "a.json");
    EXPECT_EQ(m_err, "Error parsing file:" + file + row.tail);
  }
}

TEST_F(LoadingTest, TrackablesKeepTheFirstOfAUidAndPassOverUnknownCategories) {
  ASSERT_EQ(load(R"({"trackableObjects": [
    {"uid": "V1", "name": "Forklift", "category": "VEHICLE",
     "t2t_no_alarm_uid": ["P1", 7, "P1", null, "P2"]},
    {"uid": "P1", "name": "Anna", "category": "Person"},
    {"uid": "P1", "name": "Ben", "category": "PERSON"},
    {"uid": "P1", "name": "Carl", "category": "VEHICLE"},
    {"uid": "", "name": "Nobody", "category": "PERSON", "t2t_no_alarm_uid": "P1"}]})"),
            exit_code::SYNC_SUCCESS);
  EXPECT_EQ(m_err, "");
  // "Person" is no category, so Anna never takes the uid; Ben comes first.
  EXPECT_EQ(objects(), (std::vector<std::string>{"=Nobody/P", "P1=Ben/P", "V1=Forklift/V"}));
  // The lists name objects of the site once each; P2 is not on the site and can match no pair.
  const site& loaded = m_app->loaded_site();
  EXPECT_EQ(loaded.object(loaded.find("V1")).no_alarm, std::vector<object_id>{loaded.find("P1")});
  EXPECT_TRUE(loaded.object(loaded.find("")).no_alarm.empty());  // not an array: ignored
  EXPECT_EQ(loaded.empty_uid_object(), loaded.find(""));
}

TEST_F(LoadingTest, TrackablesGivenAsAnObjectAreReadInKeyOrder) {
  ASSERT_EQ(load(R"({"trackableObjects": {
    "b": {"uid": "X", "name": "from b", "category": "VEHICLE"},
    "a": {"uid": "X", "name": "from a", "category": "PERSON"},
    "c": {"uid": "Y", "name": "from c", "category": "PERSON"}}})"),
            exit_code::SYNC_SUCCESS);
  EXPECT_EQ(objects(), (std::vector<std::string>{"X=from a/P", "Y=from c/P"}));
}

TEST_F(LoadingTest, TrackablesFailuresNameTheObject) {
  const struct {
    const char* doc;
    const char* text;
  } rows[] = {
      {R"({"trackableObjects": [{"name": "Anna", "category": "PERSON"}]})",
       R"(trackableObjects: field "uid" not found)"},
      {R"({"trackableObjects": [{"uid": 7, "name": "Anna", "category": "PERSON"}]})",
       R"(trackableObjects: field "uid" is not a string)"},
      {R"({"trackableObjects": [null]})", R"(trackableObjects: field "uid" not found)"},
      {R"({"trackableObjects": [{"uid": "P1", "name": "Anna", "category": "PERSON"},
                                {"uid": "P2", "category": "PERSON"}]})",
       R"(trackableObjects "P2": field "name" not found)"},
      {R"({"trackableObjects": [{"uid": "P1", "name": null, "category": "PERSON"}]})",
       R"(trackableObjects "P1": field "name" is not a string)"},
      {R"({"trackableObjects": [{"uid": "P1", "name": "Anna", "category": 1}]})",
       R"(trackableObjects "P1": field "category" is not a string)"},
      {R"({"trackableObjects": [{"uid": "P1", "name": "Anna"}]})",
       R"(trackableObjects "P1": field "category" not found)"},
      {R"({"trackableObjects": [5]})", logic_error_text},
      {R"([{"uid": "P1", "name": "Anna", "category": "PERSON"}])", logic_error_text},
      {"5", logic_error_text},  // the reader takes the number; the loader cannot
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.doc);
    expect_loader_failure(load(row.doc), row.text);
    EXPECT_EQ(m_app->loaded_site().size(), 0U);  // a site is whole or not at all
  }
}

TEST_F(LoadingTest, AssociationsWithoutRecords) {
  for (const std::string& doc :
       {std::string("{}"), std::string("null"), associations("[]"), associations("null"),
        associations(R"([{"vehicle_uid": "V1", "driver_uid": "D9"}])"),  // no time needed
        associations(R"([{"vehicle_uid": "V9", "driver_uid": "D1", "created_at": "x"}])")}) {
    SCOPED_TRACE(doc);
    EXPECT_EQ(load(known_objects, doc), exit_code::SYNC_SUCCESS);
    EXPECT_TRUE(m_app->loaded_site().associations().empty());
    EXPECT_EQ(m_err, "");
  }
}

TEST_F(LoadingTest, AssociationsBecomeStartAndEndRecordsSortedByTime) {
  ASSERT_EQ(load(known_objects, associations(R"([
    {"vehicle_uid": "V1", "driver_uid": "D1", "created_at": 300},
    {"vehicle_uid": "V2", "driver_uid": "D2", "created_at": 100, "removed_at": 200},
    {"vehicle_uid": "V1", "driver_uid": "D2", "created_at": 250, "removed_at": 0},
    {"vehicle_uid": "V2", "driver_uid": "D1", "created_at": 400, "removed_at": 50},
    {"vehicle_uid": "V1", "driver_uid": "D1", "created_at": 500, "removed_at": "600"},
    {"vehicle_uid": "V2", "driver_uid": "D2", "created_at": 700, "removed_at": 700}])")),
            exit_code::SYNC_SUCCESS);
  // Records of equal time keep no particular order: the table is compared as a multiset and
  // checked for its order by time.
  const std::vector<std::string> got = records();
  const std::string end = std::string(end_of_time) + ":0 ";
  EXPECT_EQ(std::multiset<std::string>(got.begin(), got.end()),
            (std::multiset<std::string>{
                "100:0 V2 D2 start", "200:0 V2 D2 end", "250:0 V1 D2 start", "300:0 V1 D1 start",
                "400:0 V2 D1 start", "500:0 V1 D1 start", "700:0 V2 D2 start", "700:0 V2 D2 end",
                end + "V1 D1 end", end + "V1 D2 end", end + "V2 D1 end", end + "V1 D1 end"}));
  const auto& sorted = m_app->loaded_site().associations();
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), [](const auto& _l, const auto& _r) {
    return _l.timestamp < _r.timestamp;
  }));
}

TEST_F(LoadingTest, AssociationFailuresAreExact) {
  const std::string prefix = "vehicle_driver_associations: ";
  const struct {
    std::string doc;
    std::string text;
  } rows[] = {
      {
          associations(R"([{"driver_uid": "D1", "created_at": 1}])"),
          prefix + R"(field "vehicle_uid" not found)",
      },
      {
          associations("[null]"),
          prefix + R"(field "vehicle_uid" not found)",
      },
      {
          associations(R"([{"vehicle_uid": "V1", "driver_uid": 1, "created_at": 1}])"),
          prefix + R"(field "driver_uid" is not a string)",
      },
      {
          associations(R"([{"vehicle_uid": "V1", "driver_uid": "D1", "created_at": "100"}])"),
          prefix + R"(field "created_at" is not Int64)",
      },
      {
          associations(R"([{"vehicle_uid": "V1", "driver_uid": "D1"}])"),
          prefix + R"(field "created_at" not found)",
      },
      // Member values in key order: "a" fails before "b" is read.
      {
          associations(
              R"({"b": {"driver_uid": "D1"}, "a": {"vehicle_uid": "V1", "driver_uid": 2}})"),
          prefix + R"(field "driver_uid" is not a string)",
      },
      {associations("[5]"), logic_error_text},
      {"[]", logic_error_text},
      {"7", logic_error_text},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.doc);
    expect_loader_failure(load(known_objects, row.doc), row.text);
  }
}

TEST_F(LoadingTest, ReaderSkipsCommentsAndTrailingTextAndTakesTheLaterOfRepeatedKeys) {
  ASSERT_EQ(load("/* site A */ {\"trackableObjects\": [], // none yet\n"
                 R"("trackableObjects": [{"uid": "P1", "uid": "P2", "name": "Anna",)"
                 R"("category": "PERSON"}]} and then some text)"),
            exit_code::SYNC_SUCCESS);
  EXPECT_EQ(objects(), std::vector<std::string>{"P2=Anna/P"});
  EXPECT_EQ(m_err, "");
  // The deepest nesting the reader takes: the root object and 999 arrays.
  EXPECT_EQ(load(R"({"trackableObjects": [], "x": )" + nested_arrays(999) + "}"),
            exit_code::SYNC_SUCCESS);
}

TEST_F(LoadingTest, ReaderRejectionsNameTheFile) {
  const struct {
    const char* file;
    std::string content;
    const char* err_end;  // the reader's error list ends with a newline: ")" starts a line
    const char* why;
  } rows[] = {
      {"t.json", "", "\n)\n", "empty file"},
      {"t.json", "\xEF\xBB\xBF{}", "\n)\n", "byte-order mark"},
      {"t.json", R"({"trackableObjects": [],})", "\n)\n", "trailing comma in an object"},
      {"a.json", R"({"vehicle_driver_associations": [], "x": [1,]})", "\n)\n",
       "trailing comma in an array"},
      {"t.json", R"({"x": )" + nested_arrays(1000) + "}", ")\n", "nesting of 1001"},
      {"t.json", std::string(100000, '['), ")\n", "nesting far deeper, unclosed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const bool trackables = std::string(row.file) == "t.json";
    const exit_code res = trackables ? load(row.content) : load(known_objects, row.content);
    EXPECT_EQ(res, exit_code::SYNC_FAILURE_PARSING_INPUT_FILE);
    const std::string begin = "Error parsing file:" + m_dir.file(row.file) + " (";
    EXPECT_TRUE(m_err.starts_with(begin) && m_err.ends_with(row.err_end) &&
                m_err.size() > begin.size() + std::strlen(row.err_end))
        << m_err;
  }
}
}  // namespace
}  // namespace vela
