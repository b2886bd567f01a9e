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

#include "reference_replay.hpp"
#include "replay_fixture.hpp"
#include "test_support.hpp"

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

// Small hostile sites: few objects close together, uids that are prefixes of each other and the
// empty uid, no-alarm entries, overlapping and degenerate associations, lines at second 0 (which
// unposition an object), time going backwards, unknown objects and malformed lines.
class tiny_site {
 public:
  explicit tiny_site(std::uint64_t _seed) : m_state(_seed * 0x9E3779B97F4A7C15ull + 1) {}

  vela::test::replay_inputs make() {
    vela::test::replay_inputs inputs;
    static const char* const all_uids[] = {"", "V1", "V10", "P1", "P2", "P10",
                                           "X", "V2", "P3", "V3", "Q", "V4"};
    std::vector<std::string> uids(all_uids, all_uids + 3 + next(10));
    std::string trackables = R"({"trackableObjects":[)";
    for (const std::string& uid : uids) {
      trackables += R"({"uid":")" + uid + R"(","name":"n","category":")" +
                    (next(3) == 0 ? "PERSON" : "VEHICLE") + "\"";
      if (next(5) == 0) {
        trackables += R"(,"t2t_no_alarm_uid":[")" + pick(uids) + "\"]";
      }
      trackables += "},";
    }
    trackables.back() = ']';
    inputs.trackables = trackables + "}";

    std::string vdas = R"({"vehicle_driver_associations":[)";
    for (std::uint64_t i = 0, n = next(8); i < n; ++i) {
      const std::uint64_t created = next(60);
      vdas += (i == 0 ? "" : ",") + std::string(R"({"vehicle_uid":")") + pick(uids) +
              R"(","driver_uid":")" + pick(uids) + R"(","created_at":)" + std::to_string(created);
      if (next(4) != 0) {
        vdas += R"(,"removed_at":)" + std::to_string(static_cast<std::int64_t>(created + next(45)) - 5);
      }
      vdas += "}";
    }
    inputs.associations = vdas + "]}";

    std::vector<std::int64_t> x(uids.size()), y(uids.size());
    for (std::size_t i = 0; i < uids.size(); ++i) {
      x[i] = static_cast<std::int64_t>(next(6000)) - 3000;
      y[i] = static_cast<std::int64_t>(next(6000)) - 3000;
    }
    std::string lines;
    std::uint64_t ms = 0;
    for (std::uint64_t i = 0, n = next(500); i < n; ++i) {
      const std::size_t obj = next(uids.size());
      const bool jump = next(4) == 0;
      x[obj] = jump ? static_cast<std::int64_t>(next(6000)) - 3000 : x[obj] + next(800) - 400;
      y[obj] = jump ? static_cast<std::int64_t>(next(6000)) - 3000 : y[obj] + next(800) - 400;
      ms += next(700);
      const std::uint64_t roll = next(100);
      const std::uint64_t seconds = roll < 3 ? 0 : roll < 6 ? ms / 1000 / 2 : 1 + ms / 1000;
      const std::string uid = roll == 99 ? "unknown" : uids[obj];
      static const std::string sublocations[] = {"S", "", "S2", std::string(70, 'L')};
      lines += roll == 98 ? std::string("garbage,line\n")
                          : std::to_string(i) + "," + std::to_string(seconds) + "," +
                                std::to_string(ms % 1000) + ",M," + std::to_string(x[obj]) + "," +
                                std::to_string(y[obj]) + "," + std::to_string(next(9)) + "," +
                                uid + "," + sublocations[next(4)] + ",P,T\n";
    }
    inputs.positions = lines;
    static const std::uint32_t thresholds[] = {0, 100, 1000, 2000, 2000};
    inputs.threshold_mm = thresholds[next(5)];
    return inputs;
  }

 private:
  std::uint64_t next(std::uint64_t _bound) {  // splitmix64, reduced to [0, _bound)
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return (z ^ (z >> 31)) % _bound;
  }
  const std::string& pick(const std::vector<std::string>& _items) {
    return _items[next(_items.size())];
  }
  std::uint64_t m_state;
};

TEST(ReplayEquivalenceTest, MatchesTheReferenceOnTinyHostileSites) {
  for (std::uint64_t seed = 1; seed <= 600; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    expect_same_result(tiny_site(seed).make());
  }
}

TEST(ReplayEquivalenceTest, MatchesTheReferenceOnTheBundledExample) {
  const std::string dir = std::string(VELA_SOURCE_DIR) + "/examples/warehouse/";
  replay_inputs inputs;
  for (const auto& [name, text] : {std::pair<const char*, std::string*>{"positions.csv", &inputs.positions},
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
