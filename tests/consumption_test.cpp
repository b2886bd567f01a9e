// What vela refuses to consume: the cases in which a run would report success or delete a
// recording although the result is useless, the file deleted is not the one read, or the output
// is not an ordinary file. End to end, in a fresh folder: exit status, standard error, the output,
// and that every input is still there byte for byte.
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <json/json.h>

#include "test_support.hpp"

namespace vela {
namespace {
using arguments = std::vector<std::string>;

constexpr const char* trackables_json = R"({"trackableObjects": [
  {"uid": "P1", "name": "Anna", "category": "PERSON"},
  {"uid": "V1", "name": "Forklift", "category": "VEHICLE"}]})";
constexpr const char* associations_json = R"({"vehicle_driver_associations": []})";
constexpr const char* positions_csv = "1,100,0,AA,0,0,0,P1,S,J,T\n2,101,0,AA,500,0,0,V1,S,J,T\n";

class ConsumptionTest : public testing::Test {
 protected:
  void write_inputs(const std::string& _positions = positions_csv,
                    const std::string& _trackables = trackables_json,
                    const std::string& _associations = associations_json) {
    m_inputs = {{"p.csv", _positions}, {"t.json", _trackables}, {"a.json", _associations}};
    for (const auto& [name, content] : m_inputs) {
      m_dir.write(name, content);
    }
  }
  test::run_result run(const arguments& _more, const std::string& _prefix = "") const {
    arguments args = {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000"};
    args.insert(args.end(), _more.begin(), _more.end());
    return test::run_vela(m_dir, args, _prefix);
  }
  // Every input as it was written, except those named in _changed.
  void expect_inputs_kept(const std::vector<std::string>& _changed = {}) const {
    for (const auto& [name, content] : m_inputs) {
      if (std::find(_changed.begin(), _changed.end(), name) == _changed.end()) {
        ASSERT_TRUE(m_dir.exists(name)) << name;
        EXPECT_EQ(m_dir.read(name), content) << name;
      }
    }
  }
  void expect_inputs_deleted() const {
    for (const auto& entry : m_inputs) {
      EXPECT_FALSE(m_dir.exists(entry.first)) << entry.first;
    }
  }
  void expect_no_output(const std::string& _name = "out.json") const {
    EXPECT_FALSE(m_dir.exists(_name));
    EXPECT_FALSE(m_dir.exists(_name + ".tmp"));
  }

  test::temp_folder m_dir;
  std::map<std::string, std::string> m_inputs;
};

// The number of events in a result, which must be a well-formed document.
std::size_t events_in_document(const std::string& _text) {
  return test::parse_json(_text)["events"].size();
}

TEST_F(ConsumptionTest, TrackablesOfTheWrongShapeAreRefused) {
  const std::string missing = " (field \"trackableObjects\" not found)\n";
  const std::string not_a_list = " (field \"trackableObjects\" is not an array)\n";
  const struct {
    std::string trackables;
    std::string associations;
    std::string err;
    const char* why;
  } rows[] = {
      {associations_json, trackables_json, "Error parsing file:t.json" + missing,
       "the two JSON files swapped"},
      {"{}", associations_json, "Error parsing file:t.json" + missing, "member missing"},
      {"null", associations_json, "Error parsing file:t.json" + missing, "root of null"},
      {R"({"trackableObjects": null})", associations_json, "Error parsing file:t.json" + not_a_list,
       "member null"},
      {R"({"trackableObjects": 7})", associations_json, "Error parsing file:t.json" + not_a_list,
       "member a number"},
      {R"({"trackableObjects": true})", associations_json,
       "Error parsing file:t.json" + not_a_list, "member a boolean"},
      {trackables_json, R"({"vehicle_driver_associations": "none"})",
       "Error parsing file:a.json (field \"vehicle_driver_associations\" is not an array)\n",
       "association member a string"},
      {trackables_json, trackables_json,
       "Error parsing file:a.json (field \"vehicle_driver_associations\" not found, and "
       "\"trackableObjects\" is there: a trackables file, not an association file)\n",
       "the trackables file given as the association file"},
      {R"({"trackableObjects": [{"uid": "P1", "name": "A", "category": "Person"},
                                {"uid": "V1", "name": "F", "category": "Vehicle"}]})",
       associations_json,
       "Error parsing file:t.json (2 entries in \"trackableObjects\", none accepted as a "
       "vehicle; categories passed over: \"Person\", \"Vehicle\")\n",
       "both categories misspelt"},
      {R"({"trackableObjects": [{"uid": "P1", "name": "A", "category": "PERSON"},
         {"uid": "V1", "name": "F", "category": "vehicle"}, {"uid": "V2", "name": "G",
          "category": "vehicle"}, {"uid": "V3", "name": "H", "category": "Truck\u001b"},
         {"uid": "V4", "name": "I", "category": ""}, {"uid": "V5", "name": "J",
          "category": "Tug"}]})",
       associations_json,
       "Error parsing file:t.json (6 entries in \"trackableObjects\", none accepted as a "
       "vehicle; categories passed over: \"vehicle\", \"Truck\\x1b\", \"\", ...)\n",
       "only the vehicles misspelt, in many ways"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    write_inputs(positions_csv, row.trackables, row.associations);
    const test::run_result result = run({"-o", "out.json"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");
    expect_no_output();
    expect_inputs_kept();
  }
  // Still valid: an empty site with an empty recording, a site of persons only, all accepted,
  // and an association document of neither list.
  for (const auto& [positions, trackables] :
       {std::pair{"", R"({"trackableObjects": []})"},
        {positions_csv, R"({"trackableObjects": [{"uid": "P1", "name": "A", "category": "PERSON"}]})"}}) {
    write_inputs(positions, trackables, "{}");
    const test::run_result result = run({"-o", "out.json"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(events_in_document(m_dir.read("out.json")), 0U);
    expect_inputs_deleted();
  }
}

TEST_F(ConsumptionTest, OutputThatIsAnInputIsRefusedFirst) {
  const struct {
    const char* output;
    bool keep;  // -s; without it the trackables file cannot be parsed: the refusal comes first
    void (*prepare)(const test::temp_folder&);
  } rows[] = {
      {"p.csv", true, nullptr},
      {"t.json", false, nullptr},
      {"./sub/../a.json", false,
       [](const test::temp_folder& _dir) { boost::filesystem::create_directory(_dir.file("sub")); }},
      {"link.json", false,
       [](const test::temp_folder& _dir) {
         boost::filesystem::create_symlink("t.json", _dir.file("link.json"));
       }},
      {"hard.csv", true,
       [](const test::temp_folder& _dir) {
         boost::filesystem::create_hard_link(_dir.file("p.csv"), _dir.file("hard.csv"));
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    write_inputs(positions_csv, row.keep ? trackables_json : "{");
    if (row.prepare != nullptr) {
      row.prepare(m_dir);
    }
    const test::run_result result =
        run(row.keep ? arguments{"-o", row.output, "-s"} : arguments{"-o", row.output});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, std::string("Error writing file:") + row.output + " (" + row.output +
                              ": an input of this run)\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(m_dir.exists(std::string(row.output) + ".tmp"));
    expect_inputs_kept();
  }
}

TEST_F(ConsumptionTest, PositionFileThatIsAFolderCannotBeOpened) {
  write_inputs();
  boost::filesystem::create_directory(m_dir.file("recording"));
  const test::run_result result = run({"-i", "recording", "-o", "out.json"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, std::string("recording: ") + std::strerror(EISDIR) + "\n");
  EXPECT_TRUE(boost::filesystem::is_directory(m_dir.file("recording")));
  expect_no_output();
  expect_inputs_kept();
}

TEST_F(ConsumptionTest, RecordingWithoutOnePositionLineFailsTheReplay) {
  std::string utf16;
  for (const char c : std::string(positions_csv)) {
    utf16 += {c, '\0'};
  }
  const struct {
    std::string positions;
    const char* err;
    const char* why;
  } rows[] = {
      {"id,ts,ms,mac,x,y,z,obj,sub,prj,type\r1,100,0,AA,0,0,0,P1,S,J,T\r2,101,0,AA,5,0,0,V1,S,J,T\r",
       "Error reading file:p.csv (1 line read, not a position line)\n", "CR line ends, a header"},
      {utf16, "Error reading file:p.csv (3 lines read, none of them a position line)\n", "UTF-16"},
      {"1;100;0;AA;0;0;0;P1;S;J;T\n\n2;101;0;AA;500;0;0;V1;S;J;T\n",
       "Error reading file:p.csv (3 lines read, none of them a position line)\n", "semicolons"},
      {"1,100,0,AA,0,0,0,P1,S,J,T\r2,101,0,AA,500,0,0,V1,S,J,T\r",
       "Error reading file:p.csv (its lines end in carriage returns alone)\n",
       "CR line ends, no header"},
      {"1,100,0,AA,0,0,0,X9,S,J,T\n",
       "Error reading file:p.csv (1 position line read, naming no object of the site)\n",
       "the recording of another site"},
      {"x\n1,100,0,AA,0,0,0,X9,S,J,T\n2,101,0,AA,0,0,0,X8,S,J,T",
       "Error reading file:p.csv (2 position lines read, none of them naming an object of the "
       "site)\n",
       "another site, a malformed line"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    for (const arguments& more : {arguments{"-o", "out.json"}, arguments{}}) {
      write_inputs(row.positions);
      const test::run_result result = run(more);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, row.err);
      EXPECT_EQ(result.out, "");
      expect_no_output();
      expect_inputs_kept();
    }
  }
  // Valid: an empty recording; CR LF line ends; one line of the site among unknown tags.
  for (const auto& [positions, events] :
       {std::pair{"", 0U},
        {"\n", 0U},
        {"1,100,0,AA,0,0,0,P1,S,J,T\r\n2,101,0,AA,500,0,0,V1,S,J,T\r\n", 1U},
        {"1,100,0,AA,0,0,0,X9,S,J,T\n1,100,0,AA,0,0,0,P1,S,J,T\n", 0U}}) {
    SCOPED_TRACE(positions);
    write_inputs(positions);
    const test::run_result result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::parse_json(result.out).size(), events);
    expect_inputs_deleted();
  }
}

// Waits until the fifo has bytes to read: the run has finished its replay and holds the rest of
// a result too large for the pipe, so that it cannot reach the deletion of its inputs yet.
bool wait_for_result(int _fd) {
  pollfd poll_fd{_fd, POLLIN, 0};
  return ::poll(&poll_fd, 1, 60000) == 1 && (poll_fd.revents & POLLIN) != 0;
}

std::string drain(int _fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(_fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EAGAIN || !wait_for_result(_fd)) {
      return text;
    }
  }
}

TEST_F(ConsumptionTest, InputChangedDuringTheRunIsNotDeleted) {
  // A name of 1 MB makes the document far larger than a pipe holds.
  const std::string trackables = R"({"trackableObjects": [
    {"uid": "P1", "name": ")" + std::string(1 << 20, 'n') + R"(", "category": "PERSON"},
    {"uid": "V1", "name": "Forklift", "category": "VEHICLE"}]})";
  const struct {
    const char* changed;
    void (*change)(const test::temp_folder&);
    const char* reason;
  } rows[] = {
      {"p.csv",
       [](const test::temp_folder& _dir) {
         std::ofstream(_dir.file("p.csv"), std::ios::app) << "3,102,0,AA,9,0,0,V1,S,J,T\n";
       },
       "grew by 26 bytes after it was read; left in place)"},
      {"t.json",
       [](const test::temp_folder& _dir) {
         _dir.write("new.json", "{}");
         boost::filesystem::rename(_dir.file("new.json"), _dir.file("t.json"));
       },
       "no longer the file that was read; left in place)"},
      {"a.json",
       [](const test::temp_folder& _dir) {
         boost::filesystem::rename(_dir.file("a.json"), _dir.file("a.old"));
         _dir.write("a.json", "{}");
       },
       "no longer the file that was read; left in place)"},
      {"t.json",
       [](const test::temp_folder& _dir) {  // rewritten in place: the same file, other content
         std::string content = _dir.read("t.json");
         content.back() = ' ';
         _dir.write("t.json", content);
       },
       "changed after it was read; left in place)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.changed);
    write_inputs(positions_csv, trackables);
    ASSERT_EQ(::mkfifo(m_dir.file("out.fifo").c_str(), 0600), 0);
    const int fifo = ::open(m_dir.file("out.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    test::spawned_run vela(m_dir, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000",
                                   "-o", "out.fifo"});
    ASSERT_TRUE(wait_for_result(fifo));
    row.change(m_dir);
    const std::string document = drain(fifo);
    ::close(fifo);
    const test::run_result result = vela.wait();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              std::string("Error deleting file:") + row.changed + " (" + row.reason + "\n");
    EXPECT_EQ(events_in_document(document), 1U);
    EXPECT_TRUE(m_dir.exists(row.changed));
    for (const auto& entry : m_inputs) {  // the others are consumed as usual
      EXPECT_EQ(m_dir.exists(entry.first), entry.first == row.changed) << entry.first;
    }
    boost::filesystem::remove(m_dir.file("out.fifo"));
    boost::filesystem::remove(m_dir.file("a.old"));
  }
}

TEST_F(ConsumptionTest, SpecialOutputIsWrittenDirectlyOrRefused) {
  write_inputs();
  const test::run_result expected = run({"-s", "-o", "regular.json"});
  ASSERT_EQ(expected.status, 0);
  const std::string document = m_dir.read("regular.json");

  // A link to a character device: written through, the link stays.
  boost::filesystem::create_symlink("/dev/null", m_dir.file("null.json"));
  test::run_result result = run({"-o", "null.json"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(boost::filesystem::read_symlink(m_dir.file("null.json")).string(), "/dev/null");
  EXPECT_FALSE(m_dir.exists("null.json.tmp"));
  expect_inputs_deleted();

  // Its write errors are a failed delivery.
  write_inputs();
  boost::filesystem::create_symlink("/dev/full", m_dir.file("full.json"));
  result = run({"-o", "full.json"});
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, std::string("Error writing file:full.json (full.json: ") +
                            std::strerror(ENOSPC) + ")\n");
  EXPECT_EQ(boost::filesystem::read_symlink(m_dir.file("full.json")).string(), "/dev/full");
  expect_inputs_kept();

  // A fifo: its reader gets the document.
  ASSERT_EQ(::mkfifo(m_dir.file("out.fifo").c_str(), 0600), 0);
  const int fifo = ::open(m_dir.file("out.fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);
  test::spawned_run vela(m_dir, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000",
                                 "-o", "out.fifo"});
  ASSERT_TRUE(wait_for_result(fifo));
  EXPECT_EQ(drain(fifo), document);
  ::close(fifo);
  result = vela.wait();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  struct stat st {};
  ASSERT_EQ(::lstat(m_dir.file("out.fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  expect_inputs_deleted();

  // A socket is neither a file to replace nor one to write: refused, inputs kept.
  write_inputs();
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = m_dir.file("out.sock");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  result = run({"-o", "out.sock"});
  ::close(sock);
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err,
            "Error writing file:out.sock (out.sock: not a regular file, a character device or a "
            "fifo)\n");
  ASSERT_EQ(::lstat(socket_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_FALSE(m_dir.exists("out.sock.tmp"));
  expect_inputs_kept();
}

// An output that names the process's own descriptor is written to it; any other link is
// followed to the file it leads to, and stays a link.
TEST_F(ConsumptionTest, OutputThroughALinkOrADescriptorReachesItsFile) {
  write_inputs();
  ASSERT_EQ(run({"-s", "-o", "regular.json"}).status, 0);
  const std::string document = m_dir.read("regular.json");
  boost::filesystem::create_directory(m_dir.file("sub"));
  const struct {
    const char* output;
    const char* redirection;  // of standard output
    const char* link;         // made first, to this target
    int status;
    const char* file;      // holding the result afterwards
    const char* earlier;   // its content before the run
    const char* err;
  } rows[] = {
      {"/dev/stdout", ">res.json", nullptr, 0, "res.json", "", ""},
      {"/dev/fd/1", ">>log.json", nullptr, 0, "log.json", "earlier\n", ""},
      {"/proc/self/fd/1", ">res.json", nullptr, 0, "res.json", "", ""},
      {"link.json", "", "sub/target.json", 0, "sub/target.json", "", ""},
      {"link.json", "", "made.json", 0, "made.json", nullptr, ""},
      {"/dev/stdout", ">&-", nullptr, 4, nullptr, nullptr,
       "Error writing file:/dev/stdout (/dev/stdout: Bad file descriptor)\n"},
      {"link.json", "", "nodir/out.json", 4, nullptr, nullptr,
       "Error writing file:link.json (nodir/out.json.tmp: No such file or directory)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.output) + " " + row.redirection);
    write_inputs();
    if (row.earlier != nullptr) {
      m_dir.write(row.file, row.earlier);
    }
    if (row.link != nullptr) {
      boost::filesystem::remove(m_dir.file(row.output));
      boost::filesystem::create_symlink(row.link, m_dir.file(row.output));
    }
    const test::run_result result =
        test::run_vela(m_dir, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", "2000", "-o",
                               row.output},
                       "", row.redirection);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.err, row.err);
    if (row.link != nullptr) {
      EXPECT_EQ(boost::filesystem::read_symlink(m_dir.file(row.output)).string(), row.link);
      EXPECT_FALSE(m_dir.exists(std::string(row.link) + ".tmp"));
    }
    if (row.status == 0) {
      EXPECT_EQ(m_dir.read(row.file), std::string(row.earlier ? row.earlier : "") + document);
      expect_inputs_deleted();
      boost::filesystem::remove(m_dir.file(row.file));
    } else {
      expect_inputs_kept();
    }
  }
  EXPECT_TRUE(boost::filesystem::is_symlink("/dev/stdout"));
}

TEST_F(ConsumptionTest, InputsThatAreNoRegularFilesAreReadButNeverDeleted) {
  write_inputs();
  m_dir.write("source.csv", positions_csv);
  boost::filesystem::create_symlink("/proc/self/fd/0", m_dir.file("stdin-link"));
  ASSERT_EQ(::mkfifo(m_dir.file("p.fifo").c_str(), 0600), 0);
  const struct {
    const char* input;
    const char* prefix;
    const char* kept;
  } rows[] = {
      {"/proc/self/fd/0", "cat source.csv |", nullptr},
      {"stdin-link", "cat source.csv |", "stdin-link"},
      {"p.fifo", "(cat source.csv > p.fifo &);", "p.fifo"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    write_inputs();
    const test::run_result result = run({"-i", row.input}, row.prefix);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::parse_json(result.out).size(), 1U);
    if (row.kept != nullptr) {
      EXPECT_TRUE(m_dir.exists(row.kept));
    }
    EXPECT_TRUE(m_dir.exists("p.csv"));  // not named: untouched
    EXPECT_FALSE(m_dir.exists("t.json"));
    EXPECT_FALSE(m_dir.exists("a.json"));
  }
}

TEST_F(ConsumptionTest, TemporaryFileLockedByAnotherRunIsLeftToIt) {
  write_inputs();
  m_dir.write("out.json.tmp", "another run's result in the making\n");
  const int held = ::open(m_dir.file("out.json.tmp").c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const test::run_result result = run({"-o", "out.json"});
  ::close(held);
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, "Error writing file:out.json (out.json.tmp: in use by another run)\n");
  EXPECT_EQ(m_dir.read("out.json.tmp"), "another run's result in the making\n");
  EXPECT_FALSE(m_dir.exists("out.json"));
  expect_inputs_kept();
  // Once no run holds it, it is a stale leftover and is replaced.
  const test::run_result later = run({"-o", "out.json"});
  EXPECT_EQ(later.status, 0);
  EXPECT_EQ(events_in_document(m_dir.read("out.json")), 1U);
  EXPECT_FALSE(m_dir.exists("out.json.tmp"));
}

TEST_F(ConsumptionTest, InputThatIsTheOutputsTemporaryFileIsRefused) {
  for (const char* option : {"-i", "-t", "-a"}) {
    SCOPED_TRACE(option);
    write_inputs();
    const std::string named = std::string(option) == "-i"   ? "p.csv"
                              : std::string(option) == "-t" ? "t.json"
                                                            : "a.json";
    boost::filesystem::rename(m_dir.file(named), m_dir.file("out.json.tmp"));
    m_inputs["out.json.tmp"] = m_inputs[named];
    m_inputs.erase(named);
    const test::run_result result = run({option, "out.json.tmp", "-o", "out.json"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, "Error writing file:out.json (out.json.tmp: an input of this run)\n");
    EXPECT_FALSE(m_dir.exists("out.json"));
    expect_inputs_kept();
    boost::filesystem::remove(m_dir.file("out.json.tmp"));
  }
}

TEST_F(ConsumptionTest, FailedWriteLeavesNoTemporaryFileAndTheEarlierOutput) {
  write_inputs();
  m_dir.write("out.json", "earlier\n");
  // The document holds two objects and an event: far more than 100 bytes.
  const test::run_result result = run({"-o", "out.json"}, "prlimit --fsize=100");
  EXPECT_EQ(result.status, 4);
  EXPECT_TRUE(result.err.starts_with("Error writing file:out.json (out.json.tmp: ")) << result.err;
  EXPECT_EQ(m_dir.read("out.json"), "earlier\n");
  EXPECT_FALSE(m_dir.exists("out.json.tmp"));
  expect_inputs_kept();
}
TEST_F(ConsumptionTest, InterruptedRunRemovesItsTemporaryFileAndKeepsEverything) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    write_inputs();
    m_dir.write("out.json", "earlier\n");
    // A recording from a fifo that stays open: the run waits for more lines.
    ASSERT_EQ(::mkfifo(m_dir.file("p.fifo").c_str(), 0600), 0);
    const int fifo = ::open(m_dir.file("p.fifo").c_str(), O_RDWR);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(::write(fifo, positions_csv, std::strlen(positions_csv)),
              static_cast<ssize_t>(std::strlen(positions_csv)));
    test::spawned_run vela(m_dir, {"-i", "p.fifo", "-t", "t.json", "-a", "a.json", "-d", "2000",
                                   "-o", "out.json"});
    for (int waited = 0; waited < 600 && !m_dir.exists("out.json.tmp"); ++waited) {
      ::usleep(10000);
    }
    ASSERT_TRUE(m_dir.exists("out.json.tmp"));
    ::usleep(50000);  // into the read of the fifo
    ASSERT_EQ(::kill(vela.pid(), signal), 0);
    const test::run_result result = vela.wait();
    ::close(fifo);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 128 + signal);
    EXPECT_EQ(result.err, std::string("Run interrupted by ") +
                              (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                              "; no input was deleted\n");
    EXPECT_FALSE(m_dir.exists("out.json.tmp"));
    EXPECT_EQ(m_dir.read("out.json"), "earlier\n");
    expect_inputs_kept();
    boost::filesystem::remove(m_dir.file("p.fifo"));
  }
}
}  // namespace
}  // namespace vela
