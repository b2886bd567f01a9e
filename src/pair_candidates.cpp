#include "pair_candidates.hpp"

#include <algorithm>

namespace vela {
void pair_candidates::id_set::insert(std::uint32_t _id) {
  if (!contains(_id)) {
    m_pos[_id] = static_cast<std::uint32_t>(m_ids.size());
    m_ids.push_back(_id);
  }
}

void pair_candidates::id_set::erase(std::uint32_t _id) {
  if (!contains(_id)) {
    return;
  }
  const std::uint32_t moved = m_ids.back();
  m_ids[m_pos[_id]] = moved;
  m_pos[moved] = m_pos[_id];
  m_ids.pop_back();
  m_pos[_id] = absent;
}

void pair_candidates::reset(std::size_t _object_count, std::uint32_t _threshold_mm,
                            std::uint32_t _empty_uid_id) {
  m_threshold_mm = _threshold_mm;
  m_empty_uid_id = _empty_uid_id;
  m_grid.reset(_object_count, _threshold_mm);
  m_partner.assign(_object_count, no_id);
  m_named_by.assign(_object_count, {});
  m_drivers.reset(_object_count);
  m_incomplete.assign(_object_count, 0);
  m_incomplete_positioned_drivers.reset(_object_count);
}

void pair_candidates::set_incomplete(std::uint32_t _driver, bool _incomplete) {
  m_incomplete[_driver] = _incomplete;
  if (_incomplete && m_grid.contains(_driver)) {
    m_incomplete_positioned_drivers.insert(_driver);
  } else {
    m_incomplete_positioned_drivers.erase(_driver);
  }
}

void pair_candidates::moved(std::uint32_t _id, bool _was_positioned, bool _is_positioned,
                            std::int32_t _x, std::int32_t _y) {
  if (_is_positioned) {
    m_grid.place(_id, _x, _y);
  } else {
    m_grid.remove(_id);
  }
  if (m_drivers.contains(_id)) {
    set_incomplete(_id, m_incomplete[_id]);  // follows the positioned state
  }
  if (!_was_positioned && _is_positioned) {
    // This line evaluates the object against the positioned drivers only; the others now lack
    // its skipped event.
    for (const std::uint32_t driver : m_drivers.ids()) {
      if (driver != _id && !m_grid.contains(driver)) {
        set_incomplete(driver, true);
      }
    }
  }
}

void pair_candidates::association_changed(std::uint32_t _id, std::uint32_t _partner,
                                          bool _driving) {
  const std::uint32_t old_partner = m_partner[_id];
  if (old_partner != _partner) {
    if (old_partner != no_id) {
      auto& named = m_named_by[old_partner];
      named.erase(std::find(named.begin(), named.end(), _id));
    }
    if (_partner != no_id) {
      m_named_by[_partner].push_back(_id);
    }
    m_partner[_id] = _partner;
  }
  if (_driving == m_drivers.contains(_id)) {
    return;
  }
  if (_driving) {
    m_drivers.insert(_id);
    set_incomplete(_id, true);
  } else {
    m_drivers.erase(_id);
    set_incomplete(_id, false);
  }
}

bool pair_candidates::collect(std::uint32_t _id, bool _was_positioned, std::int32_t _x,
                              std::int32_t _y, const event_store& _events,
                              std::vector<std::uint32_t>& _out) {
  if (_id == m_empty_uid_id) {
    return false;  // every unassociated object names the empty uid: all pairs are concerned
  }
  _out.clear();
  if (m_drivers.contains(_id)) {
    if (!m_incomplete[_id]) {
      return true;  // every pair of a complete driver already holds its skipped event
    }
    set_incomplete(_id, false);  // this line evaluates all pairs
    return false;
  }
  const auto add = [&_out](std::uint32_t _other) { _out.push_back(_other); };
  m_grid.for_each_near(_x, _y, [&](std::uint32_t _other, std::int32_t _ox, std::int32_t _oy) {
    if (planar_distance_mm(_x, _y, _ox, _oy) <= std::int64_t{m_threshold_mm}) {
      add(_other);
    }
  });
  _events.for_each_partner_not_driving(_id, add);
  if (m_partner[_id] != no_id) {
    add(m_partner[_id]);
  } else if (m_empty_uid_id != no_id) {
    add(m_empty_uid_id);  // an unassociated object "is associated" with the empty uid
  }
  for (const std::uint32_t other : m_named_by[_id]) {
    add(other);
  }
  // A complete driver already met every object that was positioned before this line.
  const auto& drivers =
      _was_positioned ? m_incomplete_positioned_drivers.ids() : m_drivers.ids();
  for (const std::uint32_t driver : drivers) {
    add(driver);
  }
  std::sort(_out.begin(), _out.end());
  _out.erase(std::unique(_out.begin(), _out.end()), _out.end());
  const auto self = std::lower_bound(_out.begin(), _out.end(), _id);
  if (self != _out.end() && *self == _id) {
    _out.erase(self);
  }
  return true;
}
}  // namespace vela
