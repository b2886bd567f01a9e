// The candidates of a line must include every pair whose evaluation changes something. The
// replay and the plain reference (which evaluates every pair) step through the same lines in
// lockstep; every pair the reference changes on a line must be among that line's candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "position.hpp"
#include "reference/reference_replay.hpp"
#include "replay/replay.hpp"
#include "replay_inspection.hpp"
#include "replay_fixture.hpp"
#include "site/site.hpp"
#include "test_support.hpp"
#include "tiny_site.hpp"

namespace vela {
namespace {
// The number of pair changes checked, so that a site without any fails the test. With _listing,
// whether the replay finds near objects through its lists at the end, and the whole result
// against the reference's.
std::size_t expect_candidates_cover_changes(const test::replay_inputs& _inputs,
                                            boost::optional<bool> _listing = boost::none) {
  site loaded;
  test::load_site(_inputs, loaded);
  replay fast(loaded, run_rules{_inputs.threshold_mm});
  reference_replay reference(loaded, _inputs.threshold_mm);
  std::istringstream lines(_inputs.positions);
  std::string line;
  std::size_t checked = 0;
  for (int number = 1; std::getline(lines, line); ++number) {
    reference.process_line(line);
    const boost::optional<position_view> pos = position_view::from_csv_line(line);
    const object_id id = pos ? loaded.find(pos->obj_uid) : no_object;
    if (id == no_object) {
      EXPECT_TRUE(reference.changed_pairs().empty()) << "line " << number;
      continue;
    }
    // The associations due first, as the line applies them: they may turn pairs active.
    replay_inspection::process_VDA_until(fast, pos->timestamp);
    std::set<object_id> candidates;
    replay_inspection::events(fast).for_each_active_pair(
        id, [&](const event_store::pair_view& _pair) { candidates.insert(_pair.b); });
    replay_inspection::process_line(fast, {pos->timestamp, pos->x, pos->y, id});
    const std::vector<object_id>& collected = replay_inspection::line_candidates(fast);
    candidates.insert(collected.begin(), collected.end());
    for (const std::string& uid : reference.changed_pairs()) {
      EXPECT_EQ(candidates.count(loaded.find(uid)), 1U)
          << "line " << number << " (" << line << "): the pair with \"" << uid
          << "\" changed but was not a candidate";
      ++checked;
    }
  }
  if (_listing) {
    EXPECT_EQ(replay_inspection::candidates(fast).listing(), *_listing);
    EXPECT_EQ(test::run_replay(_inputs).document, test::run_reference(_inputs));
  }
  return checked;
}

// Trackables of vehicles V1.._vehicles and persons P1.._persons.
std::string trackables(int _vehicles, int _persons) {
  std::string text = R"({"trackableObjects":[)";
  for (int k = 1; k <= _vehicles + _persons; ++k) {
    const bool vehicle = k <= _vehicles;
    text += std::string(k == 1 ? "" : ",") + R"({"uid":")" + (vehicle ? "V" : "P") +
            std::to_string(vehicle ? k : k - _vehicles) + R"(","name":"n","category":")" +
            (vehicle ? "VEHICLE" : "PERSON") + "\"}";
  }
  return text + "]}";
}

TEST(PairCandidatesTest, CandidatesIncludeEveryPairThatChangesOnTinySites) {
  std::size_t checked = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    checked += expect_candidates_cover_changes(test::tiny_site(seed).make());
    if (HasFailure()) {
      return;
    }
  }
  EXPECT_GT(checked, 10000U);  // enough changes to mean something
}

// A crowd with drivers taking turns: most of the vehicles are booked now and then.
TEST(PairCandidatesTest, CandidatesIncludeEveryPairThatChangesOnASimulatedSite) {
  const test::temp_folder folder;
  ASSERT_EQ(std::system(("cd " + test::shell_quote(folder.path()) + " && " + VELA_SIMULATE +
                         " --out . --seed 8 --persons 40 --vehicles 30 --minutes 3 --area 30"
                         " --rate 2 --driven 0.8 >/dev/null")
                            .c_str()),
            0);
  const test::replay_inputs inputs{folder.read("positions.csv"), folder.read("trackables.json"),
                                   folder.read("associations.json"), 2000};
  EXPECT_GT(expect_candidates_cover_changes(inputs, true), 1000U);
}

// With a threshold of 2000 mm a pair is listed while its references are 2500 mm apart or less
// (rounded); an object is listed again once it is more than 250 mm from its reference.
TEST(PairCandidatesTest, CandidatesIncludeEveryPairThatChangesAtTheEdgesOfTheSkin) {
  const struct {
    const char* positions;
    const char* why;
  } rows[] = {
      {"1,1,0,M,0,0,0,V1,S,P,T\n"
       "2,1,0,M,2500,0,0,V2,S,P,T\n"  // listed, at the reach
       "3,2,0,M,250,0,0,V1,S,P,T\n"   // half the skin exactly: not listed again
       "4,3,0,M,2250,0,0,V2,S,P,T\n"  // the same, and 2000 mm apart: an event
       "5,4,0,M,2250,2500,0,V2,S,P,T\n",
       "both move exactly half the skin towards each other"},
      {"1,1,0,M,0,0,0,V1,S,P,T\n"
       "2,1,0,M,2501,0,0,V2,S,P,T\n"  // beyond the reach: not listed
       "3,2,0,M,251,0,0,V1,S,P,T\n"   // beyond half the skin: listed again, with V2
       "4,3,0,M,2251,0,0,V2,S,P,T\n"  // half the skin: 2000 mm apart, found in its list
       "5,4,0,M,2251,2500,0,V2,S,P,T\n",
       "one just beyond half the skin lists the other"},
      {"1,1,0,M,0,0,0,V1,S,P,T\n"
       "2,1,0,M,2400,0,0,V2,S,P,T\n"
       "3,1,0,M,1000,900,0,P1,S,P,T\n"      // near both: in both lists
       "4,2,0,M,60000,-90000,0,V1,S,P,T\n"  // across the site: out of every list
       "5,3,0,M,2200,0,0,V2,S,P,T\n"
       "6,4,0,M,0,0,0,V1,S,P,T\n"  // back where it was listed
       "7,5,0,M,240,0,0,V1,S,P,T\n"
       "8,6,0,M,60000,-90000,0,V1,S,P,T\n"
       "9,7,0,M,2000,500,0,P1,S,P,T\n",
       "a jump across the site and back"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const test::replay_inputs inputs{row.positions, trackables(2, 1)};
    EXPECT_GT(expect_candidates_cover_changes(inputs, true), 0U);
  }
}

// So many objects so close together that the lists would outgrow their budget (64 entries an
// object): the grid of last positions takes over on the way, or from the start for a threshold
// that takes in any site.
TEST(PairCandidatesTest, CandidatesIncludeEveryPairThatChangesWhenTheListsGiveWay) {
  const struct {
    int vehicles;
    std::uint32_t threshold_mm;
    bool listing;  // at the end
  } rows[] = {{12, 2000, true}, {90, 2000, false}, {12, 4294967295u, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.vehicles) + " vehicles at " + std::to_string(row.threshold_mm));
    const int objects = row.vehicles + 10;
    std::mt19937 random(5);
    std::string lines;
    for (int k = 0; k < 8 * objects; ++k) {  // each placed, then moving over wider and wider
      const int id = k % objects;
      const int spread = 1 + k / objects;
      lines += "0," + std::to_string(1 + k / 10) + ",0,M," +
               std::to_string((static_cast<int>(random() % 3001) - 1500) * spread) + "," +
               std::to_string((static_cast<int>(random() % 3001) - 1500) * spread) + ",0," +
               (id < row.vehicles ? "V" + std::to_string(id + 1)
                                  : "P" + std::to_string(id - row.vehicles + 1)) +
               ",S,P,T\n";
    }
    const test::replay_inputs inputs{lines, trackables(row.vehicles, 10), "{}", row.threshold_mm};
    EXPECT_GT(expect_candidates_cover_changes(inputs, row.listing), 10U);
  }
}
}  // namespace
}  // namespace vela
