#pragma once
// A look inside the replay for the tests of its pieces: the candidates of a line, the active
// pairs, what it left in each object.

#include <utility>
#include <vector>

#include "replay/replay.hpp"

namespace vela {
struct replay_inspection {
  static void process_VDA_until(replay& _replay, const timestamp& _time) {
    _replay.process_VDA_until(_time);
  }
  static void process_line(replay& _replay, const fed_line& _line) { _replay.process_line(_line); }
  static const event_store& events(const replay& _replay) { return _replay.m_events; }
  static const pair_candidates& candidates(const replay& _replay) { return _replay.m_candidates; }
  // The candidates of the line processed last, the partners of its active pairs aside.
  static const std::vector<object_id>& line_candidates(const replay& _replay) {
    return _replay.m_candidate_ids;
  }
  static const timestamp& last_time(const replay& _replay, object_id _id) {
    return _replay.m_objects[_id].last_time;
  }
  static const timestamp& first_time(const replay& _replay, object_id _id) {
    return _replay.m_objects[_id].first_time;
  }
  static std::pair<std::int32_t, std::int32_t> position(const replay& _replay, object_id _id) {
    return {_replay.m_hot[_id].x, _replay.m_hot[_id].y};
  }
};
}  // namespace vela
