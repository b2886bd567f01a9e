// The installed tool set: cmake --install into a fresh prefix puts every program into bin and
// its manual page into share/man/man1; the programs run from there, and every page formats
// without a warning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vela {
namespace {
const char* const programs[] = {"vela", "vela-check", "vela-explain", "vela-report", "vela-simulate", "vela-site",
                                "vela-summary"};

// Every file under _root, by its path relative to _root.
std::set<std::string> files_under(const std::string& _root) {
  std::set<std::string> files;
  for (const auto& entry : boost::filesystem::recursive_directory_iterator(_root)) {
    if (!boost::filesystem::is_directory(entry.status())) {
      files.insert(entry.path().string().substr(_root.size() + 1));
    }
  }
  return files;
}

class InstallTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_prefix = new test::temp_folder;
    s_install = new test::run_result(test::run_in(
        *s_prefix, VELA_CMAKE, {"--install", VELA_BUILD_DIR, "--prefix", s_prefix->path()}));
  }
  static void TearDownTestSuite() {
    delete s_install;
    delete s_prefix;
  }

  static std::string installed(const std::string& _relative) { return s_prefix->file(_relative); }

  static test::temp_folder* s_prefix;
  static test::run_result* s_install;
};
test::temp_folder* InstallTest::s_prefix = nullptr;
test::run_result* InstallTest::s_install = nullptr;

TEST_F(InstallTest, InstallsEveryProgramAndItsPageAndNothingElse) {
  ASSERT_EQ(s_install->status, 0) << s_install->out << s_install->err;
  std::set<std::string> expected;
  for (const std::string program : programs) {
    expected.insert("bin/" + program);
    expected.insert("share/man/man1/" + program + ".1");
  }
  EXPECT_EQ(files_under(s_prefix->path()), expected);
  for (const std::string program : programs) {
    SCOPED_TRACE(program);
    struct stat status {};
    ASSERT_EQ(::stat(installed("bin/" + program).c_str(), &status), 0);
    EXPECT_NE(status.st_mode & S_IXUSR, 0U) << "not executable";
  }
}

TEST_F(InstallTest, ProgramsRunFromThePrefix) {
  ASSERT_EQ(s_install->status, 0) << s_install->err;
  test::temp_folder work;
  const test::run_result vela = test::run_in(work, installed("bin/vela"), {"-h"});
  EXPECT_EQ(vela.status, 0);
  EXPECT_EQ(vela.out, test::usage_text());
  for (const std::string program : programs) {
    if (program == "vela") {
      continue;  // its command line has no long options
    }
    SCOPED_TRACE(program);
    const test::run_result help = test::run_in(work, installed("bin/" + program), {"--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out.rfind("Usage: " + program + " ", 0), 0U) << help.out;
    const test::run_result version = test::run_in(work, installed("bin/" + program), {"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, program + " " + VELA_VERSION + "\n");
  }
}

TEST_F(InstallTest, EveryPageFormatsWithoutWarningsAndNamesItsProgram) {
  ASSERT_EQ(s_install->status, 0) << s_install->err;
  test::temp_folder work;
  for (const std::string program : programs) {
    SCOPED_TRACE(program);
    const std::string page = installed("share/man/man1/" + program + ".1");
    const test::run_result groff = test::run_in(work, VELA_GROFF, {"-man", "-ww", "-z", page});
    EXPECT_EQ(groff.status, 0) << "is groff installed? " << groff.err;
    EXPECT_EQ(groff.err, "");
    std::string escaped = program;
    for (std::size_t at = escaped.find('-'); at != std::string::npos;
         at = escaped.find('-', at + 2)) {
      escaped.insert(at, "\\");
    }
    EXPECT_NE(
        s_prefix->read("share/man/man1/" + program + ".1").find(".SH NAME\n" + escaped + " \\- "),
        std::string::npos);
  }
}

TEST_F(InstallTest, VelasPageDocumentsEveryOptionAndExitStatus) {
  ASSERT_EQ(s_install->status, 0) << s_install->err;
  const std::string page = s_prefix->read("share/man/man1/vela.1");
  for (const char* option : {"-i", "-t", "-a", "-d", "-o"}) {
    EXPECT_NE(page.find(std::string(".TP\n.BI \\") + option + " "), std::string::npos) << option;
  }
  for (const char* option : {"-s", "-h"}) {
    EXPECT_NE(page.find(std::string(".TP\n.B \\") + option + "\n"), std::string::npos) << option;
  }
  const std::size_t statuses = page.find(".SH EXIT STATUS\n");
  ASSERT_NE(statuses, std::string::npos);
  for (const char* status : {"0", "1", "2", "3", "4"}) {
    EXPECT_NE(page.find(std::string(".TP\n.B ") + status + "\n", statuses), std::string::npos)
        << status;
  }
  for (const char* section : {".SS Position file", ".SS Trackables file", ".SS Association file",
                              ".SH DETECTION", ".SH OUTPUT"}) {
    EXPECT_NE(page.find(section), std::string::npos) << section;
  }
}
}  // namespace
}  // namespace vela
