#pragma once
// Small hostile sites for the tests that hold the replay against the reference.

#include <cstdint>
#include <string>
#include <vector>

#include "replay_fixture.hpp"

namespace vela::test {
// Small hostile sites: few objects close together, uids that are prefixes of each other and the
// empty uid, no-alarm entries, overlapping and degenerate associations, lines at second 0 (which
// unposition an object), time going backwards, unknown objects and malformed lines.
class tiny_site {
 public:
  explicit tiny_site(std::uint64_t _seed) : m_state(_seed * 0x9E3779B97F4A7C15ull + 1) {}

  replay_inputs make() {
    replay_inputs inputs;
    static const char* const all_uids[] = {"",  "V1", "V10", "P1", "P2", "P10",
                                           "X", "V2", "P3",  "V3", "Q",  "V4"};
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
        vdas +=
            R"(,"removed_at":)" + std::to_string(static_cast<std::int64_t>(created + next(45)) - 5);
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
                                std::to_string(y[obj]) + "," + std::to_string(next(9)) + "," + uid +
                                "," + sublocations[next(4)] + ",P,T\n";
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

}  // namespace vela::test
