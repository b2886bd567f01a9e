// End-to-end runs of the built binary in a fresh folder: the command line, exit statuses and
// messages, and which inputs remain afterwards.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;

// Four objects at one instant: V1 on P1 (0 mm), V2 250 mm from P1 and V1, V3 251 mm from P1 and
// V1 and 354 mm from V2. Threshold 0 gives one event, 250 gives three.
constexpr const char* trackables_json = R"({"trackableObjects": [
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "V1", "name": "Forklift", "category": "VEHICLE"},
  {"uid": "V2", "name": "Loader", "category": "VEHICLE"},
  {"uid": "V3", "name": "Crane", "category": "VEHICLE"}]})";
constexpr const char* associations_json = R"({"vehicle_driver_associations": []})";
constexpr const char* positions_csv =
    "1,100,0,AA,0,0,0,P1,S,J,T\n2,100,0,AA,0,0,0,V1,S,J,T\n"
    "3,100,0,AA,250,0,0,V2,S,J,T\n4,100,0,AA,0,251,0,V3,S,J,T\n";
const arguments threshold_0_events = {"V1/P1/0"};
const arguments threshold_250_events = {"V1/P1/0", "V2/P1/250", "V2/V1/250"};

arguments inputs(const arguments& _more = {}) {
  arguments args = {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "0"};
  args.insert(args.end(), _more.begin(), _more.end());
  return args;
}

// The events of a JSON array as "first uid/second uid/distance", in order.
arguments summarize(const Json::Value& _events) {
  arguments summary;
  for (const Json::Value& ev : _events) {
    summary.push_back(ev["trackables"][0]["uid"].asString() + "/" +
                      ev["trackables"][1]["uid"].asString() + "/" +
                      std::to_string(ev["distance"].asInt64()));
  }
  return summary;
}

std::size_t lines_of(const std::string& _text) {
  return static_cast<std::size_t>(std::count(_text.begin(), _text.end(), '\n'));
}

class CliTest : public testing::Test {
 protected:
  void write_inputs(const std::string& _trackables = trackables_json,
                    const std::string& _associations = associations_json) const {
    m_dir.write("p.csv", positions_csv);
    m_dir.write("t.json", _trackables);
    m_dir.write("a.json", _associations);
  }
  test::run_result run(const arguments& _args, const std::string& _prefix = "",
                       const std::string& _stdout = "") const {
    return test::run_vela(m_dir, _args, _prefix, _stdout);
  }
  // Which inputs exist, e.g. "-t-" when only t.json is left.
  std::string present() const {
    return std::string(m_dir.exists("p.csv") ? "p" : "-") + (m_dir.exists("t.json") ? "t" : "-") +
           (m_dir.exists("a.json") ? "a" : "-");
  }

  test::temp_folder m_dir;
};

TEST_F(CliTest, UsageCasesTouchNoInput) {
  const std::string binary = VELA_BINARY;
  const auto invalid = [&](const std::string& _arg) {
    return binary + ": invalid distance in mm -- '" + _arg + "'\n";
  };
  const struct {
    arguments args;
    int status;
    std::string err;
    const char* why;
    bool parser = false;  // the parser's own diagnostic: only the option letter is checked
    std::string out = test::usage_text();
  } rows[] = {
      {{}, 1, "", "no arguments"},
      {{"-h"}, 0, "", "-h alone"},
      {inputs({"-h"}), 0, "", "-h after the three names"},
      {{"-x", "-h"}, 1, "x", "unknown option met before -h", true},
      {{"-h", "-x"}, 0, "", "-h met before the unknown option"},
      {{"-t", "t.json", "-a", "a.json"}, 1, "", "-i missing"},
      {{"-i", "p.csv", "-a", "a.json"}, 1, "", "-t missing"},
      {{"-i", "p.csv", "-t", "t.json"}, 1, "", "-a missing"},
      {inputs({"-i", ""}), 1, "", "-i empty"},
      {inputs({"-t", ""}), 1, "", "-t empty"},
      {inputs({"-a", ""}), 1, "", "-a empty"},
      {inputs({"-f", "x"}), 1, "", "-f with its argument"},
      {inputs({"-f"}), 1, "f", "-f without its argument", true},
      {inputs({"-d", "mm"}), 1, invalid("mm"), "-d without a digit"},
      {inputs({"-d", ""}), 1, invalid(""), "-d empty"},
      {inputs({"-d", "18446744073709551616"}), 1, invalid("18446744073709551616"), "-d of 2^64"},
      {inputs({"-d", "4294967296"}), 1, invalid("4294967296"), "-d of 2^32"},
      {inputs({"-d", "2m"}), 1, invalid("2m"), "-d in metres"},
      {inputs({"-d", "2.5"}), 1, invalid("2.5"), "-d with a fraction"},
      {inputs({"-d", "2,5"}), 1, invalid("2,5"), "-d with a decimal comma"},
      {inputs({"-d", "-2000"}), 1, invalid("-2000"), "-d with a minus sign"},
      {inputs({"-d", "250 mm"}), 1, invalid("250 mm"), "-d with a blank before its unit"},
      {{"-i", "p.csv", "-t", "t.json", "-a", "a.json"}, 1,
       binary + ": missing distance in mm (-d)\n", "-d missing"},
      {{"--help"}, 0, "", "--help alone"},
      {{"-x", "--help"}, 1, "x", "unknown option met before --help", true},
      {inputs({"--he"}), 1, "--he", "--help abbreviated is no option", true},
      {{"--verbose"}, 1, "--verbose", "another long option", true},
      {{"--version", "-x"}, 0, "", "--version met first", false, "vela " VELA_VERSION "\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    write_inputs();
    const test::run_result result = run(row.args);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, row.out);
    if (row.parser) {  // after argv[0], which may hold any letter
      EXPECT_NE(result.err.find(row.err, binary.size()), std::string::npos) << result.err;
    } else {
      EXPECT_EQ(result.err, row.err);
    }
    EXPECT_EQ(present(), "pta");
  }
}

TEST_F(CliTest, RunTakesTheLastOccurrenceAndTheLow32BitsOfTheThreshold) {
  const struct {
    arguments before;  // placed before inputs()
    arguments after;   // placed after them
    arguments events;
    const char* why;
  } rows[] = {
      {{}, {}, threshold_0_events, "-d 0 given on purpose"},
      {{"-i", "gone.csv"}, {}, threshold_0_events, "the last -i wins"},
      {{"stray"}, {"more", "-d", "250"}, threshold_250_events, "operands are ignored"},
      {{}, {"-o", ""}, threshold_0_events, "empty -o: standard output"},
      {{}, {"-d", "250mm"}, threshold_250_events, "conversion stops at the letters"},
      {{}, {"-d", " +250mm"}, threshold_250_events, "white space, a plus and the unit"},
      {{},
       {"-d", "4294967295"},
       {"V1/P1/0", "V2/P1/250", "V2/V1/250", "V3/P1/251", "V3/V1/251", "V3/V2/354"},
       "the largest threshold"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    write_inputs();
    arguments args = row.before;
    for (const arguments& part : {inputs(), row.after}) {
      args.insert(args.end(), part.begin(), part.end());
    }
    const test::run_result result = run(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(summarize(test::parse_json(result.out)), row.events);
    EXPECT_EQ(present(), "---");  // delivered: all three inputs go
  }
}

TEST_F(CliTest, StageFailuresKeepEveryInput) {
  const char* const cut = R"({"vehicle_driver_associations": [)";
  const struct {
    arguments more;  // the last occurrence replaces a name of inputs()
    int status;
    const char* err_begin;
    const char* err_end;  // a reader's error list ends with a newline: ")" starts a line
    const char* why;
    const char* trackables = trackables_json;
    const char* associations = associations_json;
  } rows[] = {
      {{"-t", "none.json"}, 2, "Error opening file:none.json (", ")\n", "trackables missing"},
      {{}, 3, "Error parsing file:t.json (", "\n)\n", "trackables cut", "{"},
      {{"-i", "gone.csv"}, 2, "gone.csv: No such file or directory\n", "", "positions missing"},
      {{"-a", "none.json"}, 2, "Error opening file:none.json (", ")\n", "associations missing"},
      {{}, 3, "Error parsing file:a.json (", "\n)\n", "associations cut", trackables_json, cut},
      {{"-t", "/dev/zero"}, 3, "Error parsing file:/dev/zero (larger than 64 MiB)\n", "",
       "trackables without end"},
      {{"-a", "/dev/zero"}, 3, "Error parsing file:/dev/zero (larger than 64 MiB)\n", "",
       "associations without end"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    write_inputs(row.trackables, row.associations);
    const test::run_result result = run(inputs(row.more));
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with(row.err_begin)) << result.err;
    EXPECT_TRUE(result.err.ends_with(row.err_end)) << result.err;
    if (row.status == 2) {
      EXPECT_EQ(lines_of(result.err), 1U) << result.err;
    }
    EXPECT_EQ(present(), "pta");
  }
}

TEST_F(CliTest, DeliveredResultDeletesTheInputsUnlessSaved) {
  const struct {
    arguments more;
    const char* left;
  } rows[] = {{{"-o", "out.json"}, "---"}, {{"-s", "-o", "out.json"}, "pta"}, {{"-s"}, "pta"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.more.size());
    write_inputs();
    const test::run_result result = run(inputs(row.more));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const bool to_file = row.more.back() == "out.json";
    const Json::Value document = test::parse_json(to_file ? m_dir.read("out.json") : result.out);
    EXPECT_EQ(summarize(to_file ? document["events"] : document), threshold_0_events);
    if (to_file) {
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(document["trackableObjects"].size(), 4U);
      EXPECT_FALSE(m_dir.exists("out.json.tmp"));
    }
    EXPECT_EQ(present(), row.left);
  }
}

TEST_F(CliTest, UndeliveredResultKeepsEveryInput) {
  const std::string stdout_error = "Error writing file: (standard output: ";
  const struct {
    std::string err_begin;
    arguments more;
    const char* prefix = "";
    const char* redirection = "";
  } rows[] = {
      {"Error writing file:nodir/out.json (", {"-o", "nodir/out.json"}},
      // The document holds four objects and an event: far more than 100 bytes.
      {"Error writing file:out.json (", {"-o", "out.json"}, "prlimit --fsize=100"},
      {stdout_error + std::strerror(EBADF) + ")\n", {}, "", ">&-"},
      {stdout_error + std::strerror(ENOSPC) + ")\n", {}, "", ">/dev/full"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.err_begin);
    write_inputs();
    const test::run_result result = run(inputs(row.more), row.prefix, row.redirection);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 4);
    EXPECT_TRUE(result.err.starts_with(row.err_begin)) << result.err;
    EXPECT_TRUE(result.err.ends_with(")\n")) << result.err;
    EXPECT_EQ(lines_of(result.err), 1U) << result.err;
    EXPECT_FALSE(m_dir.exists("out.json"));
    EXPECT_EQ(present(), "pta");
  }
}

// Even root cannot unlink an entry of /proc/self/fd, yet opening one opens the file inherited on
// that descriptor.
TEST_F(CliTest, UndeletableInputFailsAfterDelivery) {
  const struct {
    arguments more;
    const char* prefix;
    arguments events;
    const char* named;
    const char* left;  // every other deletion is still attempted
  } rows[] = {
      {{"-t", "/proc/self/fd/7"}, "7<t.json", threshold_0_events, "/proc/self/fd/7", "-t-"},
      {{"-a", "/proc/self/fd/7"}, "7<a.json", threshold_0_events, "/proc/self/fd/7", "--a"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.named);
    write_inputs();
    const test::run_result result = run(inputs(row.more), row.prefix);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(summarize(test::parse_json(result.out)), row.events);
    EXPECT_EQ(lines_of(result.err), 1U) << result.err;
    EXPECT_NE(result.err.find(row.named), std::string::npos) << result.err;
    EXPECT_EQ(present(), row.left);
  }
}
}  // namespace
}  // namespace vela
