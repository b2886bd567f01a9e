// The streaming reader of results: both forms, what it skips, what it refuses and how it says so,
// and strings of any size and content handed over unchanged.
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "results/result_reader.hpp"

namespace vela {
namespace {
// What the handlers saw, one line per call.
struct recording {
  std::vector<std::string> lines;
  results::form form = results::form::document;
};

std::string line_of(const results::event& _event) {
  std::string line = "event " + std::to_string(_event.number) + ": " + std::to_string(_event.ts) +
                     "." + std::to_string(_event.ms) + " " + std::to_string(_event.duration_s) +
                     "s " + std::to_string(_event.distance_mm) + "mm";
  for (const results::event_object& object : _event.objects) {
    line += " " + object.uid + "@" + std::to_string(object.x_mm) + "," +
            std::to_string(object.y_mm) + (object.driver_uid ? "/" + *object.driver_uid : "");
  }
  return line;
}

recording read_text(const std::string& _text) {
  recording seen;
  std::istringstream in(_text);
  seen.form = results::read(
      in, {[&](const results::event& _event) { seen.lines.push_back(line_of(_event)); },
           [&](const results::trackable& _object) {
             seen.lines.push_back("object " + std::to_string(_object.number) + ": " + _object.uid +
                                  "/" + _object.name + "/" + _object.category);
           }});
  return seen;
}

// The message of the read_error that reading _text throws; fails the test if none.
std::string refusal(const std::string& _text) {
  try {
    read_text(_text);
  } catch (const results::read_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted";
  return "";
}

// As vela writes it with -o: four-space indentation, members sorted.
constexpr const char* document = R"({
    "events" : 
    [
        {
            "distance" : 27,
            "duration" : 3,
            "ms" : 746,
            "trackables" : 
            [
                {
                    "driver_uid" : "P0004",
                    "uid" : "V0007",
                    "x" : -120,
                    "y" : 4500
                },
                {
                    "driver_uid" : null,
                    "uid" : "P0022",
                    "x" : 3000000000,
                    "y" : -4294967296
                }
            ],
            "ts" : 1767225623,
            "type" : "near-miss"
        },
        {
            "distance" : 1999,
            "duration" : 0,
            "ms" : 0,
            "trackables" : 
            [
                {
                    "driver_uid" : null,
                    "uid" : "V0001",
                    "x" : 0,
                    "y" : 0
                },
                {
                    "driver_uid" : null,
                    "uid" : "V0002",
                    "x" : 1999,
                    "y" : 0
                }
            ],
            "ts" : -5,
            "type" : "near-miss"
        }
    ],
    "trackableObjects" : 
    [
        {
            "category" : "PERSON",
            "name" : "Person 22",
            "uid" : "P0022"
        },
        {
            "category" : "VEHICLE",
            "name" : "Forklift 5",
            "uid" : "V0007"
        }
    ]
}
)";

const std::vector<std::string> document_lines = {
    "event 1: 1767225623.746 3s 27mm V0007@-120,4500/P0004 P0022@3000000000,-4294967296",
    "event 2: -5.0 0s 1999mm V0001@0,0 V0002@1999,0",
    "object 1: P0022/Person 22/PERSON",
    "object 2: V0007/Forklift 5/VEHICLE",
};

TEST(ResultReaderTest, ReadsTheDocumentForm) {
  const recording seen = read_text(document);
  EXPECT_EQ(seen.form, results::form::document);
  EXPECT_EQ(seen.lines, document_lines);
}

TEST(ResultReaderTest, ReadsTheEventsArrayOfStandardOutput) {
  const recording seen = read_text(
      "[\n\t{\n\t\t\"distance\" : 5,\n\t\t\"duration\" : 1,\n\t\t\"ms\" : 250,\n"
      "\t\t\"trackables\" : \n\t\t[\n"
      "\t\t\t{\n\t\t\t\t\"driver_uid\" : null,\n\t\t\t\t\"uid\" : \"V1\",\n"
      "\t\t\t\t\"x\" : 1,\n\t\t\t\t\"y\" : 2\n\t\t\t},\n"
      "\t\t\t{\n\t\t\t\t\"driver_uid\" : \"P9\",\n\t\t\t\t\"uid\" : \"V2\",\n"
      "\t\t\t\t\"x\" : 3,\n\t\t\t\t\"y\" : 4\n\t\t\t}\n\t\t],\n"
      "\t\t\"ts\" : 100,\n\t\t\"type\" : \"near-miss\"\n\t}\n]\n");
  EXPECT_EQ(seen.form, results::form::events_only);
  EXPECT_EQ(seen.lines, std::vector<std::string>{"event 1: 100.250 1s 5mm V1@1,2 V2@3,4/P9"});
}

TEST(ResultReaderTest, EmptyResultsInBothForms) {
  EXPECT_EQ(read_text(R"({"events": [], "trackableObjects": []})").lines.size(), 0U);
  const recording bare = read_text(" [ ] ");
  EXPECT_EQ(bare.form, results::form::events_only);
  EXPECT_EQ(bare.lines.size(), 0U);
}

TEST(ResultReaderTest, TakesMembersInAnyOrderAndSkipsUnknownOnes) {
  const recording seen = read_text(R"({
    "version": {"nested": [1, {"deeper": [true, null, "x"]}], "events": []},
    "trackableObjects": [{"uid": "P1", "t2t_no_alarm_uid": ["V1"], "name": null, "extra": {}}],
    "note": "skipped",
    "events": [{"type": "near-miss", "trackables": [
                  {"y": 2, "x": 1, "uid": "V1", "colour": [[1], {"a": 2}]},
                  {"uid": "P1", "x": 3, "y": 4, "driver_uid": null}],
                "ts": 7, "extra": {"ts": 99}, "ms": 1, "duration": 2, "distance": 3}],
    "tail": [[[[]]]]
  })");
  EXPECT_EQ(seen.lines,
            (std::vector<std::string>{"object 1: P1//", "event 1: 7.1 2s 3mm V1@1,2 P1@3,4"}));
}

TEST(ResultReaderTest, RefusesWhatIsNotAResult) {
  const struct {
    const char* text;
    const char* message;
    const char* why;
  } rows[] = {
      {"", "empty: no JSON document", "empty file"},
      {" \n\t ", "empty: no JSON document", "only white space"},
      {"events: []", "not JSON at byte offset 0: Invalid value", "not JSON"},
      {R"({"events": [],})", "not JSON at byte offset 14: Missing a name for object member",
       "a trailing comma"},
      {"[] []", "not one JSON document: more follows at byte offset 3", "two documents"},
      {"\"text\"", "not a vela result: neither an object with \"events\" nor an events array",
       "a string at the top"},
      {R"({"trackableObjects": []})", "not a vela result: no \"events\" array",
       "the trackables file"},
      {R"({"events": []})", "not a vela result: no \"trackableObjects\" array",
       "a document without its objects"},
      {R"({"events": {}, "trackableObjects": []})", "\"events\" is not an array",
       "events an object"},
      {R"({"events": [], "trackableObjects": null})", "\"trackableObjects\" is not an array",
       "objects null"},
      {"[3]", "event 1 is not an object", "a number as an event"},
      {"[[]]", "event 1 is not an object", "an array as an event"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "trackables": []}])",
       "event 1: \"trackables\" holds 0 objects, not two", "no objects in the event"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}, {}]}])",
       "event 1: \"trackables\" holds more than two objects", "three objects"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "trackables": [1, 2]}])",
       "event 1: \"trackables\" holds something other than objects", "numbers as objects"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 5, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}]},
           {"ts": 1, "ms": 0, "duration": 1, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}]}])",
       "event 2: no \"distance\"", "the second event without its distance"},
      {R"([{"ts": 1, "ms": 0, "duration": 1.5, "distance": 2}])",
       "event 1: \"duration\" is not a whole number", "a fraction"},
      {R"([{"ts": "1"}])", "event 1: \"ts\" is not a whole number", "a number as text"},
      {R"([{"ts": 9223372036854775808}])", "event 1: \"ts\" is out of range",
       "beyond 64 signed bits"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "y": 0}], "\u001b]0;x": 0},
           18446744073709551615])",
       "event 2 is not an object", "a number beyond 64 signed bits after an unknown member"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [
            {"uid": 5, "x": 0, "y": 0}]}])",
       "event 1, object 1: \"uid\" is not a text", "a number as uid"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0, "driver_uid": 7}]}])",
       "event 1, object 2: \"driver_uid\" is not a text or null", "a number as driver"},
      {R"([{"ts": 1, "ms": 0, "duration": 1, "distance": 2, "trackables": [
            {"uid": "a", "x": 0, "y": 0}, {"uid": "b", "x": 0}]}])",
       "event 1, object 2: no \"y\"", "an object without y"},
      {R"({"events": [], "trackableObjects": [{"name": "Anna"}]})",
       "trackable object 1: no \"uid\"", "an entry without uid"},
      {R"({"events": [], "trackableObjects": [{"uid": "P1"}, "P2"]})",
       "trackable object 2 is not an object", "a text as an entry"},
      {R"({"events": [], "trackableObjects": [{"uid": "P1", "category": 1}]})",
       "trackable object 1: \"category\" is not a text or null", "a number as category"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(refusal(row.text), row.message);
  }
}

// Every proper prefix of a result is refused: a page is never made of a cut-off result.
TEST(ResultReaderTest, RefusesEveryTruncationOfAResult) {
  const std::string text = document;
  const std::size_t end = text.find_last_of('}');
  for (std::size_t length = 0; length < end + 1; ++length) {
    SCOPED_TRACE("the first " + std::to_string(length) + " bytes");
    const std::string message = refusal(text.substr(0, length));
    if (length == 0) {
      EXPECT_EQ(message, "empty: no JSON document");
    } else {
      EXPECT_EQ(message.rfind("truncated: the JSON document ends at byte offset " +
                                  std::to_string(length) + " before it is complete",
                              0),
                0U)
          << message;
    }
  }
}

TEST(ResultReaderTest, HandsOverStringsOfAnySizeAndContentUnchanged) {
  const std::string huge(4 << 20, 'n');
  const struct {
    std::string json;
    std::string text;
    const char* why;
  } rows[] = {
      {"\"" + huge + "\"", huge, "4 MiB"},
      {R"("<script>alert(1)</script>")", "<script>alert(1)</script>", "markup"},
      {R"("\"quoted\" 'single' & \\ back")", "\"quoted\" 'single' & \\ back", "quotes"},
      {R"("a\u0000b")", std::string("a\0b", 3), "an escaped zero byte"},
      {R"("\u2028\u00e9\ud83d\ude00")", "\xE2\x80\xA8\xC3\xA9\xF0\x9F\x98\x80", "escaped"},
      {"\"\xC3\xA9 raw\"", "\xC3\xA9 raw", "raw UTF-8"},
      {"\"\xFF\xFE\"", "\xFF\xFE", "bytes that are not UTF-8, for the writer to replace"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    std::string name;
    std::string uid;
    std::istringstream in(R"({"events": [], "trackableObjects": [{"uid": )" + row.json +
                          R"(, "name": )" + row.json + "}]}");
    results::read(in, {nullptr, [&](const results::trackable& _object) {
                         name = _object.name;
                         uid = _object.uid;
                       }});
    EXPECT_EQ(name, row.text);
    EXPECT_EQ(uid, row.text);
  }
}

TEST(ResultReaderTest, SkipsDeepNestingWithoutRecursion) {
  const std::size_t depth = 200000;
  const std::string nested = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_NO_THROW(read_text(R"({"events": [], "trackableObjects": [], "x": )" + nested + "}"));
  EXPECT_EQ(refusal(std::string(depth, '[')), "event 1 is not an object");
}

TEST(ResultReaderTest, AHandlersExceptionEndsTheReading) {
  struct stop {};
  std::size_t events = 0;
  std::istringstream in(document);
  EXPECT_THROW(results::read(in, {[&](const results::event&) {
                                    if (++events == 1) {
                                      throw stop{};
                                    }
                                  },
                                  nullptr}),
               stop);
  EXPECT_EQ(events, 1U);
}

// A stream whose source fails after its first bytes, as a disk that cannot be read.
class failing_source : public std::streambuf {
 public:
  explicit failing_source(std::string _first) : m_first(std::move(_first)) {
    setg(m_first.data(), m_first.data(), m_first.data() + m_first.size());
  }

 protected:
  int_type underflow() override { throw std::ios_base::failure("device gone"); }

 private:
  std::string m_first;
};

TEST(ResultReaderTest, SaysWhenTheInputCannotBeRead) {
  failing_source source(R"({"events": [)");
  std::istream in(&source);
  try {
    results::read(in, {});
    ADD_FAILURE() << "accepted";
  } catch (const results::read_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("cannot be read", 0), 0U) << e.what();
  }
}
}  // namespace
}  // namespace vela
