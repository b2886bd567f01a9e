// The candidates of a line must include every pair whose evaluation changes something. The
// replay and the plain reference (which evaluates every pair) step through the same lines in
// lockstep; every pair the reference changes on a line must be among that line's candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
// The number of pair changes checked, so that a site without any fails the test.
std::size_t expect_candidates_cover_changes(const test::replay_inputs& _inputs) {
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
  return checked;
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

TEST(PairCandidatesTest, CandidatesIncludeEveryPairThatChangesOnASimulatedSite) {
  const test::temp_folder folder;
  ASSERT_EQ(std::system(("cd " + test::shell_quote(folder.path()) + " && " + VELA_SIMULATE +
                         " --out . --seed 7 --persons 16 --vehicles 10 --minutes 8 --area 35"
                         " --trip-legs 4 >/dev/null")
                            .c_str()),
            0);
  const test::replay_inputs inputs{folder.read("positions.csv"), folder.read("trackables.json"),
                                   folder.read("associations.json"), 2000};
  EXPECT_GT(expect_candidates_cover_changes(inputs), 1000U);
}
}  // namespace
}  // namespace vela
