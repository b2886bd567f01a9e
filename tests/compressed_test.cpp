// A recording stored compressed, gzip or zstd, is an input like any other: the same result as
// its plain text, whatever the number of cores; refused, with every input kept, when the stream
// is cut short, corrupt or holds nothing. A result stored compressed reads in vela-summary and
// vela-report as its plain text. End to end, in a fresh folder.
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;

class CompressedTest : public testing::Test {
 protected:
  // Runs _command in the folder through the shell; fails the test when it fails.
  void shell(const std::string& _command) const {
    ASSERT_EQ(std::system(("cd " + test::shell_quote(m_dir.path()) + " && " + _command).c_str()),
              0)
        << _command;
  }
  test::run_result run(const std::string& _positions, const arguments& _more,
                       const std::string& _prefix = "") const {
    arguments args = {"-i", _positions, "-t", "t.json", "-a", "a.json", "-d", "2000"};
    args.insert(args.end(), _more.begin(), _more.end());
    return test::run_vela(m_dir, args, _prefix);
  }
  // A site of the bundled example, or a simulated one; the plain result, kept as plain.json.
  void make_site(const arguments& _simulated) {
    if (_simulated.empty()) {
      for (const auto& [from, to] : {std::pair{"positions.csv", "p.csv"},
                                     {"trackables.json", "t.json"},
                                     {"associations.json", "a.json"}}) {
        boost::filesystem::copy_file(std::string(VELA_EXAMPLE_DIR) + "/" + from, m_dir.file(to),
                                     boost::filesystem::copy_options::overwrite_existing);
      }
    } else {
      arguments args = {"--out", "."};
      args.insert(args.end(), _simulated.begin(), _simulated.end());
      ASSERT_EQ(test::run_in(m_dir, VELA_SIMULATE, args).status, 0);
      shell("mv positions.csv p.csv && mv trackables.json t.json && mv associations.json a.json");
    }
    const test::run_result plain = run("p.csv", {"-s", "-o", "plain.json"});
    ASSERT_EQ(plain.status, 0) << plain.err;
  }

  test::temp_folder m_dir;
};

TEST_F(CompressedTest, EveryFormGivesThePlainResultAndIsConsumed) {
  // Several gzip members and zstd frames, as appended or parallel compressors write them.
  const struct {
    const char* file;
    const char* make;
  } forms[] = {
      {"p.csv.gz", "gzip -6 -c p.csv > p.csv.gz"},
      {"p.csv.zst", "zstd -q -3 -c p.csv > p.csv.zst"},
      {"members.gz",
       "split -n 3 p.csv part. && for f in part.*; do gzip -1 -c $f; done > members.gz && rm part.*"},
      {"frames.bin",
       "split -n 3 p.csv part. && for f in part.*; do zstd -q -c $f; done > frames.bin && rm part.*"},
  };
  for (const arguments& site :
       {arguments{}, arguments{"--persons", "30", "--vehicles", "10", "--minutes", "4", "--area",
                               "40", "--seed", "5"}}) {
    SCOPED_TRACE(site.empty() ? "the bundled example" : "a simulated site");
    make_site(site);
    const std::string expected = m_dir.read("plain.json");
    for (const auto& form : forms) {
      SCOPED_TRACE(form.file);
      shell(form.make);
      // One core and all of them: the same bytes.
      for (const char* prefix : {"taskset -c 0", ""}) {
        const test::run_result result = run(form.file, {"-s", "-o", "out.json"}, prefix);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(m_dir.read("out.json"), expected) << prefix;
      }
      // Without -s it is consumed like a plain recording (the JSON inputs are put back).
      shell("cp t.json t.keep && cp a.json a.keep");
      const test::run_result consumed = run(form.file, {"-o", "out.json"});
      EXPECT_EQ(consumed.status, 0) << consumed.err;
      EXPECT_FALSE(m_dir.exists(form.file));
      shell("mv t.keep t.json && mv a.keep a.json");
    }
  }
}

TEST_F(CompressedTest, BrokenStreamsFailTheReplayAndKeepEveryInput) {
  make_site({});
  shell("gzip -c p.csv > ok.gz && zstd -q -c p.csv > ok.zst && gzip -c ok.gz > twice.gz");
  const struct {
    const char* file;
    const char* make;
    const char* reason;
  } rows[] = {
      {"cut.gz", "head -c 20000 ok.gz > cut.gz",
       "gzip stream cut short: the file ends at byte 20000 inside a member"},
      {"cut.zst", "head -c 20000 ok.zst > cut.zst",
       "zstd stream cut short: the file ends at byte 20000 inside a frame"},
      {"bad.gz", "cp ok.gz bad.gz && printf '\\377\\377\\377\\377' | dd of=bad.gz bs=1 seek=4000 "
                 "conv=notrunc status=none",
       "gzip stream broken at byte "},
      {"bad.zst", "cp ok.zst bad.zst && printf '\\377\\377\\377\\377' | dd of=bad.zst bs=1 "
                  "seek=4000 conv=notrunc status=none",
       "zstd stream broken in the block from byte "},
      {"tail.gz", "cp ok.gz tail.gz && printf 'junk' >> tail.gz",
       "not a gzip member"},
      {"empty.gz", "gzip -c < /dev/null > empty.gz", "its gzip stream holds nothing"},
      {"empty.zst", "zstd -q -c < /dev/null > empty.zst", "its zstd stream holds nothing"},
      {"twice.gz", "true", "lines read, none of them a position line"},
      {"long.zst", "cat p.csv | zstd -q --long=31 -c > long.zst",
       "needs a window larger than the 128 MiB read here (made with zstd --long?); decompress "
       "it first: zstd -d --long=31 FILE"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    shell(row.make);
    const std::string before = m_dir.read(row.file);
    for (const arguments& more : {arguments{"-o", "out.json"}, arguments{}}) {
      const test::run_result result = run(row.file, more);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err.rfind(std::string("Error reading file:") + row.file + " (", 0), 0U)
          << result.err;
      EXPECT_NE(result.err.find(row.reason), std::string::npos) << result.err;
      EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line";
      EXPECT_EQ(result.out, "");
      EXPECT_FALSE(m_dir.exists("out.json"));
      EXPECT_FALSE(m_dir.exists("out.json.tmp"));
      EXPECT_EQ(m_dir.read(row.file), before);
      EXPECT_TRUE(m_dir.exists("t.json") && m_dir.exists("a.json"));
    }
  }
}

TEST_F(CompressedTest, CheckReadsTheSameRecording) {
  make_site({});
  shell("zstd -q -c p.csv > p.csv.zst");
  const auto positions = [&](const std::string& _file, const std::string& _redirect = "") {
    const test::run_result check =
        test::run_in(m_dir, VELA_CHECK, {"-i", _file, "-t", "t.json", "-a", "a.json", "--json"},
                     "", _redirect);
    return test::parse_json(_redirect.empty() ? check.out : m_dir.read("out.txt"))["positions"];
  };
  const Json::Value plain = positions("p.csv");
  EXPECT_GT(plain["accepted"].asUInt64(), 1000U);
  EXPECT_EQ(positions("p.csv.zst"), plain);
  EXPECT_EQ(positions("-", "< p.csv.zst > out.txt"), plain) << "standard input";
}

// What a companion makes of a result, compared between its forms: vela-summary's output; of
// vela-report's page, the events and objects it carries (its provenance names the file).
std::string companion_output(const test::run_result& _run, bool _page) {
  if (!_page) {
    return _run.out;
  }
  const std::size_t from = _run.out.find("class=\"vela-events\"");
  const std::size_t to = _run.out.find(",\"clock\":");
  return from < to && to != std::string::npos ? _run.out.substr(from, to - from) : "no page";
}

TEST_F(CompressedTest, CompanionsReadACompressedResultAsItsPlainText) {
  make_site({});
  shell(
      "gzip -c plain.json > r.json.gz && zstd -q -c plain.json > r.json.zst && "
      "(head -c 60000 plain.json | gzip -1 -c; tail -c +60001 plain.json | gzip -c) > two.gz && "
      "head -c 3000 r.json.gz > cut.gz && head -c 3000 r.json.zst > cut.zst");
  const struct {
    const char* binary;
    arguments args;
  } tools[] = {
      {VELA_SUMMARY, {}},
      {VELA_SUMMARY, {"--csv"}},  // the file read twice: names, then rows
      {VELA_REPORT, {"-o", "/dev/stdout"}},
  };
  // Named, redirected (read twice where it can be) and piped.
  const auto run_tool = [&](const auto& _tool, const std::string& _file, int _way) {
    arguments args = _tool.args;
    args.push_back(_way == 0 ? _file : "-");
    const std::string prefix = _way == 0 ? "" : _way == 1 ? "< " + _file : "cat " + _file + " |";
    return test::run_in(m_dir, _tool.binary, args, prefix);
  };
  for (const auto& tool : tools) {
    const std::string program = boost::filesystem::path(tool.binary).filename().string();
    const bool page = program == "vela-report";
    SCOPED_TRACE(program + (tool.args.empty() ? "" : " " + tool.args[0]));
    for (int way = 0; way < 3; ++way) {
      SCOPED_TRACE(way == 0 ? "named" : way == 1 ? "redirected" : "piped");
      const test::run_result plain = run_tool(tool, "plain.json", way);
      ASSERT_EQ(plain.status, 0) << plain.err;
      for (const char* file : {"r.json.gz", "r.json.zst", "two.gz"}) {
        const test::run_result read = run_tool(tool, file, way);
        EXPECT_EQ(read.status, 0) << file << ": " << read.err;
        EXPECT_EQ(companion_output(read, page), companion_output(plain, page)) << file;
        EXPECT_EQ(read.err, plain.err) << file;
      }
      const struct {
        const char* file;
        const char* reason;
      } broken[] = {
          {"cut.gz", "gzip stream cut short: the file ends at byte 3000 inside a member"},
          {"cut.zst", "zstd stream cut short: the file ends at byte 3000 inside a frame"},
      };
      for (const auto& row : broken) {
        const test::run_result read = run_tool(tool, row.file, way);
        EXPECT_EQ(read.status, 1) << row.file;
        EXPECT_EQ(read.err, program + ": " + (way == 0 ? row.file : "standard input") + ": " +
                                row.reason + "\n");
      }
    }
  }
  // A folder of results holds compressed ones too.
  shell("mkdir week && cp r.json.zst week/ && echo notes > week/notes.txt");
  const test::run_result folder = test::run_in(m_dir, VELA_REPORT, {"week", "-o", "/dev/stdout"});
  EXPECT_EQ(folder.status, 0) << folder.err;
  EXPECT_EQ(companion_output(folder, true),
            companion_output(test::run_in(m_dir, VELA_REPORT, {"plain.json", "-o", "/dev/stdout"}),
                             true));
}
}  // namespace
}  // namespace vela
