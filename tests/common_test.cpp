// What every companion shares, in process: the command line, the site clock, text made inert in
// a page.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "common/command_line.hpp"
#include "common/site_time.hpp"
#include "common/web_text.hpp"
#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;

// The command line as every companion reads it, shown as "help", "version", "error: MESSAGE",
// or the options given ("-i=p.csv --json") and the operands after a "|".
std::string read_as(const arguments& _args) {
  const std::vector<tools::option> options = {
      {"-i", true}, {"-d", true}, {"--json"}, {"--jsonl"}, {"--title", true}};
  std::vector<std::string> words = {"vela-tool"};
  words.insert(words.end(), _args.begin(), _args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  tools::command_line line;
  try {
    line = tools::read_command_line(static_cast<int>(words.size()), argv.data(), options, 1);
  } catch (const tools::usage_error& e) {
    return std::string("error: ") + e.what();
  }
  if (line.help || line.version) {
    return line.help ? "help" : "version";
  }
  std::string shown;
  for (const tools::given_option& given : line.options) {
    shown += (shown.empty() ? "" : " ") + given.name + (given.value.empty() ? "" : "=") +
             given.value;
  }
  for (const std::string& operand : line.operands) {
    shown += " | " + operand;
  }
  return shown;
}

TEST(CommandLineTest, EveryCompanionReadsItTheSameWay) {
  const struct {
    arguments args;
    const char* read;
  } rows[] = {
      {{"-i", "p.csv", "--json", "x"}, "-i=p.csv --json | x"},
      {{"x", "-ip.csv"}, "-i=p.csv | x"},
      {{"-d", "-5", "--title", "--json"}, "-d=-5 --title=--json"},  // values that look like options
      {{"--title=a=b"}, "--title=a=b"},
      {{"--ti", "T"}, "--title=T"},  // a long option by the start of its name
      {{"--", "-i"}, " | -i"},
      {{"-"}, " | -"},
      {{"-i", "a", "--help", "--bogus"}, "help"},  // nothing after it is read
      {{"--version", "x", "y"}, "version"},
      {{"-h"}, "help"},
      {{"--bogus=1"}, "error: unknown option '--bogus'"},
      {{"--js"}, "error: ambiguous option '--js'"},
      {{"-x"}, "error: unknown option '-x'"},
      {{"--\x1b[2J"}, "error: unknown option '--\\x1b[2J'"},
      {{"--json=1"}, "error: '--json' takes no value"},
      {{"--help=1"}, "error: '--help' takes no value"},
      {{"-i"}, "error: '-i' needs a value"},
      {{"x", "--title"}, "error: '--title' needs a value"},
      {{"a", "b"}, "error: unexpected argument 'b'"},
      {{"a", "--", "b\n"}, "error: unexpected argument 'b\\x0a'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    EXPECT_EQ(read_as(row.args), row.read);
  }
}

TEST(SiteClockTest, DatesWhereThereIsOneAndTheNumbersElsewhere) {
  constexpr std::int64_t last_second = std::numeric_limits<std::int64_t>::max();
  // The dates as date(1) gives them; a time shows as a date only with 0 to 999 ms and a year of
  // 0 or later, in ISO 8601 only up to the year 9999.
  const struct {
    std::int64_t ts;
    std::int64_t ms;
    int offset_minutes;
    std::int64_t seconds_after;  // for the ISO form only
    const char* text;
    const char* iso;
  } rows[] = {
      {1767225623, 746, 0, 0, "2026-01-01 00:00:23.746 UTC", "2026-01-01T00:00:23.746Z"},
      {1767225623, 746, 60, 3, "2026-01-01 01:00:23.746 +01:00", "2026-01-01T01:00:26.746+01:00"},
      {1767225600, 5, -330, 0, "2025-12-31 18:30:00.005 -05:30", "2025-12-31T18:30:00.005-05:30"},
      {-1, 0, 0, 0, "1969-12-31 23:59:59.000 UTC", "1969-12-31T23:59:59.000Z"},
      {-62009366400, 0, 0, 0, "0005-01-01 00:00:00.000 UTC", "0005-01-01T00:00:00.000Z"},
      {-62167219201, 999, 0, 0, "ts -62167219201 ms 999", "ts -62167219201 ms 999 + 0 s"},
      {253402300799, 999, 0, 0, "9999-12-31 23:59:59.999 UTC", "9999-12-31T23:59:59.999Z"},
      {253402300799, 999, 0, 1, "9999-12-31 23:59:59.999 UTC", "ts 253402300799 ms 999 + 1 s"},
      {1767225600500, 0, 0, 0, "57971-02-25 00:08:20.000 UTC", "ts 1767225600500 ms 0 + 0 s"},
      {1767225600, 1000, 0, 0, "ts 1767225600 ms 1000", "ts 1767225600 ms 1000 + 0 s"},
      {1767225600, -1, 0, 0, "ts 1767225600 ms -1", "ts 1767225600 ms -1 + 0 s"},
      {last_second, 0, 1, 0, "ts 9223372036854775807 ms 0", "ts 9223372036854775807 ms 0 + 0 s"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(tools::site_time_text(row.ts, row.ms, row.offset_minutes), row.text);
    EXPECT_EQ(tools::iso_time(row.ts, row.ms, row.offset_minutes, row.seconds_after), row.iso);
  }
}

TEST(SiteClockTest, ZonesFollowDaylightSavingTime) {
  // As TZ=ZONE date -d @TS gives them: the night the clocks go forward in Europe, 01:00 UTC on the
  // last Sunday of March 2026, and a winter day in Chicago.
  const struct {
    const char* zone;
    std::int64_t ts;
    std::int64_t seconds_after;
    const char* text;
    const char* iso;
  } rows[] = {
      {"Europe/Berlin", 1774744200, 0, "2026-03-29 01:30:00.000 CET",
       "2026-03-29T01:30:00.000+01:00"},
      {"Europe/Berlin", 1774747800, 0, "2026-03-29 03:30:00.000 CEST",
       "2026-03-29T03:30:00.000+02:00"},
      {"Europe/Berlin", 1774744200, 3600, "2026-03-29 01:30:00.000 CET",
       "2026-03-29T03:30:00.000+02:00"},
      {"America/Chicago", 1767225600, 0, "2025-12-31 18:00:00.000 CST",
       "2025-12-31T18:00:00.000-06:00"},
      {"America/Chicago", 1774747800, 0, "2026-03-28 20:30:00.000 CDT",
       "2026-03-28T20:30:00.000-05:00"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.zone) + " " + row.text);
    const tools::site_clock clock = tools::site_clock::zone(row.zone);
    EXPECT_EQ(tools::site_time_text(row.ts, 0, clock), row.text);
    EXPECT_EQ(tools::iso_time(row.ts, 0, clock, row.seconds_after), row.iso);
  }
  // The offsets a page gets: one change in the span, at 01:00 UTC.
  const auto offsets =
      tools::site_clock::zone("Europe/Berlin").offsets_between(1774700000, 1774800000);
  ASSERT_EQ(offsets.size(), 2U);
  EXPECT_EQ(offsets[0], std::make_pair(std::int64_t{1774700000}, 60));
  EXPECT_EQ(offsets[1], std::make_pair(std::int64_t{1774746000}, 120));
}

// ---- Text from the result in the page -----------------------------------------------------------
TEST(WebTextTest, ScriptDataCannotEndItsElement) {
  const struct {
    std::string text;
    std::string json;
    const char* why;
  } rows[] = {
      {"</script><!--", R"("\u003c/script\u003e\u003c!--")", "the end of a script, a comment"},
      {"a&b", R"("a\u0026b")", "an ampersand"},
      {"say \"hi\" \\ back", R"("say \"hi\" \\ back")", "quotes and a backslash"},
      {std::string("\n\x01\x7f\0", 4), R"("\u000a\u0001\u007f\u0000")", "control characters"},
      {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u2028\u2029")", "line and paragraph separators"},
      {"\xC3\xA9\xF0\x9F\x98\x80", "\"\xC3\xA9\xF0\x9F\x98\x80\"", "UTF-8 kept as it is"},
      {"\xFF", R"("\ufffd")", "a byte that starts nothing"},
      {"\xC0\xAF", R"("\ufffd\ufffd")", "an overlong form"},
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")", "a surrogate"},
      {"\xE2\x82", R"("\ufffd\ufffd")", "a cut sequence"},
      {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")", "beyond U+10FFFF"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string json = tools::script_json_string(row.text);
    EXPECT_EQ(json, row.json);
    // Another JSON reader gets the text back (what is not UTF-8 as U+FFFD).
    const Json::Value back = test::parse_json("[" + json + "]");
    if (row.json.find("ufffd") == std::string::npos) {
      EXPECT_EQ(back[0].asString(), row.text);
    }
  }
}

TEST(WebTextTest, HtmlTextIsTextOnly) {
  const struct {
    std::string text;
    std::string html;
    const char* why;
  } rows[] = {
      {"<b>&\"'", "&lt;b&gt;&amp;&quot;&#39;", "markup and quotes"},
      {"a\x01z\xFF", "a\xEF\xBF\xBDz\xEF\xBF\xBD", "control characters and stray bytes"},
      {"caf\xC3\xA9", "caf\xC3\xA9", "UTF-8 kept"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(tools::html_text(row.text), row.html);
  }
}

}  // namespace
}  // namespace vela
