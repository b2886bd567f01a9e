// Hostile and broken inputs, end to end: whatever the files hold, the run ends with a status
// and a message, never by a signal, and its output stays well formed.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "test_support.hpp"

namespace {
using vela::test::run_result;
using vela::test::temp_folder;

const std::string two_objects =
    R"({"trackableObjects":[{"uid":"P","name":"p","category":"PERSON"},)"
    R"({"uid":"V","name":"v","category":"VEHICLE"}]})";
const std::string no_associations = R"({"vehicle_driver_associations":[]})";

std::string garbage(std::size_t _size, std::uint64_t _seed) {
  std::string bytes(_size, '\0');
  for (char& c : bytes) {
    _seed = _seed * 6364136223846793005ull + 1442695040888963407ull;
    c = static_cast<char>(_seed >> 56);  // every byte value, NUL and newline included
  }
  return bytes;
}

run_result run(const temp_folder& _folder, const std::string& _positions,
               const std::string& _trackables, const std::string& _associations,
               const std::string& _distance = "2000") {
  _folder.write("p.csv", _positions);
  _folder.write("t.json", _trackables);
  _folder.write("a.json", _associations);
  return vela::test::run_vela(
      _folder, {"-i", "p.csv", "-t", "t.json", "-a", "a.json", "-d", _distance, "-o", "o.json", "-s"});
}

Json::Value events_of(const temp_folder& _folder) {
  return vela::test::parse_json(_folder.read("o.json"))["events"];
}

TEST(HostileInputTest, EndsWithAStatusWhateverTheFilesHold) {
  const std::string valid_lines = "1,10,0,M,0,0,0,P,S,J,T\n2,10,0,M,100,0,0,V,S,J,T\n";
  const std::string huge_line = std::string(5 << 20, '7') + ",1\n";  // beyond the read buffer
  const struct {
    std::string positions, trackables, associations;
    int status;
    const char* why;
  } rows[] = {
      {garbage(200000, 1), two_objects, no_associations, 1, "binary position file"},
      {valid_lines, garbage(5000, 2), no_associations, 3, "binary trackables file"},
      {valid_lines, two_objects, garbage(5000, 3), 3, "binary association file"},
      {"", two_objects, no_associations, 0, "empty position file"},
      {valid_lines, "", no_associations, 3, "empty trackables file"},
      {valid_lines, two_objects, "", 3, "empty association file"},
      {std::string("\0\0\0\n", 4) + valid_lines, two_objects, no_associations, 0, "NUL line"},
      {huge_line + valid_lines, two_objects, no_associations, 0, "a 5 MB line first"},
      {valid_lines, std::string(two_objects).insert(1, 1, '\0'), no_associations, 3,
       "NUL between tokens of the trackables document"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    temp_folder folder;
    const run_result result = run(folder, row.positions, row.trackables, row.associations);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, row.status) << result.err;
    if (row.status == 0) {
      EXPECT_TRUE(events_of(folder).isArray());
    } else {
      // Not one position line: the replay failed; otherwise a JSON input was refused.
      EXPECT_NE(result.err.find(row.status == 1 ? "Error reading file:p.csv (" : "Error parsing file:"),
                std::string::npos)
          << result.err;
      EXPECT_FALSE(folder.exists("o.json"));
    }
  }
  temp_folder folder;  // the valid lines after the huge one are still read
  run(folder, huge_line + valid_lines, two_objects, no_associations);
  EXPECT_EQ(events_of(folder).size(), 1U);
}

TEST(HostileInputTest, ExtremeNumbersStayWellDefined) {
  // Every numeric column at its limits; the sanitizer build turns any overflow into a failure.
  const std::string positions =
      "4294967295,18446744073709551615,18446744073709551615,M,-2147483648,-2147483648,"
      "2147483647,P,S,J,T\n"
      "0,9223372036854775807,0,M,2147483647,2147483647,-2147483648,V,S,J,T\n"
      "-1,9223372036854775808,9223372036854775807,M,2147483647,-2147483648,0,V,S,J,T\n"
      "1,1,0,M,-2147483648,2147483647,0,P,S,J,T\n";
  const std::string associations =
      R"({"vehicle_driver_associations":[)"
      R"({"vehicle_uid":"V","driver_uid":"P","created_at":-9223372036854775808,"removed_at":9223372036854775807},)"
      R"({"vehicle_uid":"V","driver_uid":"P","created_at":9223372036854775807},)"
      R"({"vehicle_uid":"P","driver_uid":"V","created_at":1,"removed_at":-9223372036854775808}]})";
  for (const char* distance : {"0", "4294967295"}) {
    SCOPED_TRACE(distance);
    temp_folder folder;
    const run_result result = run(folder, positions, two_objects, associations, distance);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(events_of(folder).isArray());
  }
  temp_folder folder;  // the widest threshold: every positioned pair is a contact
  run(folder, positions, two_objects, no_associations, "4294967295");
  EXPECT_GE(events_of(folder).size(), 1U);
}

TEST(HostileInputTest, LargeTablesLoadAndReplay) {
  // 3000 objects, a vehicle and a person on each of 1500 spots 10 m apart, and 300,000
  // associations (600,000 records) that all end before the first line, never between the two
  // objects of a spot.
  constexpr int objects = 3000;
  std::string trackables = R"({"trackableObjects":[)";
  std::string positions;
  for (int i = 0; i < objects; ++i) {
    const std::string uid = "O" + std::to_string(i);
    trackables += (i == 0 ? "" : ",") + std::string(R"({"uid":")") + uid +
                  R"(","name":"n","category":")" + (i % 2 == 0 ? "VEHICLE" : "PERSON") + "\"}";
    positions += std::to_string(i) + ",100,0,M," + std::to_string(i / 2 * 10000) + ",0,0," + uid +
                 ",S,J,T\n";
  }
  std::string associations = R"({"vehicle_driver_associations":[)";
  for (int i = 0; i < 300000; ++i) {
    const int vehicle = 2 * i % objects;
    associations += (i == 0 ? "" : ",") + std::string(R"({"vehicle_uid":"O)") +
                    std::to_string(vehicle) + R"(","driver_uid":"O)" +
                    std::to_string((vehicle + 3) % objects) + R"(","created_at":)" +
                    std::to_string(i % 50) + R"(,"removed_at":)" + std::to_string(50 + i % 50) +
                    "}";
  }
  temp_folder folder;
  const run_result result = run(folder, positions, trackables + "]}", associations + "]}", "100");
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(events_of(folder).size(), 1500U);  // one per spot
}
}  // namespace
