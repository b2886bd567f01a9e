// The result as the built binary delivers it: the exact layout of the file and of standard
// output, a run without events, and failed or hindered writes. End to end, in a fresh folder.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "input_text.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using test::run_result;
using test::temp_folder;

using test::at;
using test::no_associations;
using test::object;
using test::person_and_vehicle;
using test::trackables;

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
