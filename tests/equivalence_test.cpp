// The replay must give exactly the result of the plain reference, which evaluates every pair on
// every line with state kept by uid text: the same document byte for byte, and the same last and
// first positions left in every object. Both run in-process on the same inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "reference/reference_replay.hpp"
#include "replay_fixture.hpp"
#include "test_support.hpp"
#include "tiny_site.hpp"

namespace {
using vela::test::replay_inputs;
using vela::test::temp_folder;

// Positions left in the objects: "uid x y last-seconds last-ms first-seconds first-ms" per line.
std::string fast_objects(const vela::site& _site, const vela::test::replay_output& _output) {
  std::ostringstream text;
  for (vela::object_id id = 0; id < _site.size(); ++id) {
    const auto& obj = _output.objects[id];
    text << _site.object(id).uid << ' ' << obj.x << ' ' << obj.y << ' ' << obj.last_time.ts << ' '
         << obj.last_time.ms << ' ' << obj.first_time.ts << ' ' << obj.first_time.ms << '\n';
  }
  return text.str();
}

std::string reference_objects(const vela::reference_replay& _reference) {
  std::ostringstream text;
  for (const auto& [uid, obj] : _reference.track_objs()) {
    const auto& last = obj.last_position;
    text << uid << ' ' << last.x << ' ' << last.y << ' ' << last.timestamp.ts << ' '
         << last.timestamp.ms << ' ' << obj.first_position.timestamp.ts << ' '
         << obj.first_position.timestamp.ms << '\n';
  }
  return text.str();
}

void expect_same_result(const replay_inputs& _inputs) {
  const vela::test::replay_output fast = vela::test::run_replay(_inputs);
  vela::site site;
  vela::test::load_site(_inputs, site);
  vela::reference_replay reference(site, _inputs.threshold_mm);
  std::istringstream positions(_inputs.positions);
  reference.generate_alarms(positions, "p.csv");
  EXPECT_NE(fast.document.find("\"events\""), std::string::npos);
  EXPECT_EQ(fast.document, reference.document(true));
  EXPECT_EQ(fast_objects(site, fast), reference_objects(reference));
}

void replace_all(std::string& _text, const std::string& _from, const std::string& _to) {
  for (std::size_t at = _text.find(_from); at != std::string::npos;
       at = _text.find(_from, at + _to.size())) {
    _text.replace(at, _from.size(), _to);
  }
}

TEST(ReplayEquivalenceTest, MatchesTheReferenceOnTinyHostileSites) {
  for (std::uint64_t seed = 1; seed <= 600; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_same_result(vela::test::tiny_site(seed).make());
  }
}

TEST(ReplayEquivalenceTest, MatchesTheReferenceOnTheBundledExample) {
  const std::string dir = std::string(VELA_SOURCE_DIR) + "/examples/warehouse/";
  replay_inputs inputs;
  for (const auto& [name, text] :
       {std::pair<const char*, std::string*>{"positions.csv", &inputs.positions},
        {"trackables.json", &inputs.trackables},
        {"associations.json", &inputs.associations}}) {
    std::ifstream in(dir + name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    ASSERT_FALSE(text->empty()) << name;
  }
  for (const std::uint32_t threshold : {0u, 500u, 2000u, 5000u}) {
    SCOPED_TRACE(threshold);
    inputs.threshold_mm = threshold;
    expect_same_result(inputs);
  }
}

TEST(ReplayEquivalenceTest, MatchesTheReferenceOnSimulatedSites) {
  const struct {
    const char* options;
    std::uint32_t distance_in_mm;
    bool empty_uid;  // rename one driver-capable person to the empty uid
  } rows[] = {
      {"--seed 1 --persons 14 --vehicles 8 --minutes 12", 2000, false},
      {"--seed 2 --persons 10 --vehicles 10 --minutes 10 --rate 2 --noise 0.05", 2000, true},
      {"--seed 3 --persons 20 --vehicles 6 --minutes 10 --area 40", 500, false},
      {"--seed 4 --persons 12 --vehicles 12 --minutes 8 --area 30", 3000, true},
      {"--seed 5 --persons 30 --vehicles 10 --minutes 6 --area 30 --trip-legs 30", 2000, false},
      // Crowds with drivers taking turns at most of the vehicles.
      {"--seed 6 --persons 40 --vehicles 40 --minutes 3 --area 30 --rate 2 --driven 1", 2000,
       false},
      {"--seed 7 --persons 60 --vehicles 20 --minutes 3 --area 30 --driven 0.6 --noise 0.05", 3000,
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options);
    temp_folder folder;
    const std::string command = std::string(VELA_SIMULATE) + " --out . " + row.options;
    ASSERT_EQ(std::system(("cd " + vela::test::shell_quote(folder.path()) + " && " + command +
                           " >/dev/null").c_str()),
              0);
    replay_inputs inputs{folder.read("positions.csv"), folder.read("trackables.json"),
                         folder.read("associations.json"), row.distance_in_mm};
    if (row.empty_uid) {
      for (std::string* text : {&inputs.positions, &inputs.trackables, &inputs.associations}) {
        replace_all(*text, ",P0001,", ",,");
        replace_all(*text, "\"P0001\"", "\"\"");
      }
    }
    expect_same_result(inputs);
  }
}
}  // namespace
