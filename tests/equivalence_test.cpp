// The fast pair selection must give exactly the result of evaluating every pair on every line.
// Both run on the same inputs, in-process; any difference in the output document is a bug.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "application.hpp"
#include "test_support.hpp"

namespace {
using vela::application;
using vela::test::temp_folder;

// The output document, then what the replay left in every object.
std::string run_job(const temp_folder& _folder, std::uint32_t _distance_in_mm,
                    application::pair_selection _selection) {
  const std::string output = _folder.file("events.json");
  application app(_folder.file("positions.csv"), _folder.file("trackables.json"),
                  _folder.file("associations.json"), _distance_in_mm, output, true);
  app.set_pair_selection(_selection);
  EXPECT_EQ(app.init(), vela::exit_code::SYNC_SUCCESS);
  EXPECT_EQ(app.run(), vela::exit_code::SYNC_SUCCESS);
  std::string result = _folder.read("events.json");
  for (const auto& [uid, obj] : app.track_objs()) {
    const auto& last = obj.last_position;
    for (const std::int64_t value :
         {last.timestamp.ts, last.timestamp.ms, std::int64_t{last.x}, std::int64_t{last.y},
          std::int64_t{last.z}, obj.first_position.timestamp.ts, obj.first_position.timestamp.ms}) {
      result += std::to_string(value) + ",";
    }
    result += last.sublocation_uid + "\n";
  }
  return result;
}

void expect_same_result(const temp_folder& _folder, std::uint32_t _distance_in_mm) {
  const std::string fast = run_job(_folder, _distance_in_mm, application::pair_selection::candidates);
  const std::string all = run_job(_folder, _distance_in_mm, application::pair_selection::all_pairs);
  EXPECT_NE(fast.find("\"events\""), std::string::npos);
  EXPECT_EQ(fast, all);
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

  std::uint32_t write(const temp_folder& _folder) {
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
    _folder.write("trackables.json", trackables + "}");

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
    _folder.write("associations.json", vdas + "]}");

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
    _folder.write("positions.csv", lines);
    static const std::uint32_t thresholds[] = {0, 100, 1000, 2000, 2000};
    return thresholds[next(5)];
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

TEST(PairSelectionTest, MatchesAllPairsOnTinyHostileSites) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    temp_folder folder;
    const std::uint32_t distance_in_mm = tiny_site(seed).write(folder);
    expect_same_result(folder, distance_in_mm);
  }
}

TEST(PairSelectionTest, MatchesAllPairsOnSimulatedSites) {
  const struct {
    const char* options;
    std::uint32_t distance_in_mm;
    bool empty_uid;  // rename one driver-capable person to the empty uid
  } rows[] = {
      {"--seed 1 --persons 14 --vehicles 8 --minutes 12", 2000, false},
      {"--seed 2 --persons 10 --vehicles 10 --minutes 10 --rate 2 --noise 0.05", 2000, true},
      {"--seed 3 --persons 20 --vehicles 6 --minutes 10 --area 40", 500, false},
      {"--seed 4 --persons 12 --vehicles 12 --minutes 8 --area 30", 3000, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options);
    temp_folder folder;
    const std::string command = std::string(VELA_SIMULATE) + " --out . " + row.options;
    ASSERT_EQ(std::system(("cd " + vela::test::shell_quote(folder.path()) + " && " + command +
                           " >/dev/null").c_str()),
              0);
    if (row.empty_uid) {
      for (const char* name : {"positions.csv", "trackables.json", "associations.json"}) {
        std::string text = folder.read(name);
        replace_all(text, ",P0001,", ",,");
        replace_all(text, "\"P0001\"", "\"\"");
        folder.write(name, text);
      }
    }
    expect_same_result(folder, row.distance_in_mm);
  }
}
}  // namespace
