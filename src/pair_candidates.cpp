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

void pair_candidates::reset(const std::vector<bool>& _is_person, std::uint32_t _threshold_mm,
                            std::uint32_t _empty_uid_id) {
  const std::size_t count = _is_person.size();
  m_threshold_mm = _threshold_mm;
  m_empty_uid_id = _empty_uid_id;
  m_state.assign(count, object_state{});
  m_non_persons.clear();
  for (std::uint32_t id = 0; id < count; ++id) {
    m_state[id].person = _is_person[id];
    if (!_is_person[id]) {
      m_non_persons.push_back(id);
    }
  }
  m_grid.reset(count, _threshold_mm);
  m_named_by.assign(count, {});
  for (int kind = 0; kind < 2; ++kind) {
    m_drivers[kind].reset(count);
    m_incomplete_positioned_drivers[kind].reset(count);
  }
}

void pair_candidates::set_incomplete(std::uint32_t _driver, bool _incomplete) {
  m_state[_driver].incomplete = _incomplete;
  id_set& incomplete = m_incomplete_positioned_drivers[m_state[_driver].person];
  if (_incomplete && m_grid.contains(_driver)) {
    incomplete.insert(_driver);
  } else {
    incomplete.erase(_driver);
  }
}

void pair_candidates::moved(std::uint32_t _id, bool _was_positioned, bool _is_positioned,
                            std::int32_t _x, std::int32_t _y) {
  if (_is_positioned) {
    m_grid.place(_id, _x, _y);
  } else {
    m_grid.remove(_id);
  }
  if (m_state[_id].driving && _was_positioned != _is_positioned) {
    set_incomplete(_id, m_state[_id].incomplete);  // follows the positioned state
  }
  if (!_was_positioned && _is_positioned) {
    // This line evaluates the object against the positioned drivers only; the others now lack
    // its skipped event.
    for (const id_set& drivers : m_drivers) {
      for (const std::uint32_t driver : drivers.ids()) {
        if (driver != _id && !m_grid.contains(driver)) {
          set_incomplete(driver, true);
        }
      }
    }
  }
}

void pair_candidates::association_changed(std::uint32_t _id, std::uint32_t _partner,
                                          bool _driving) {
  object_state& state = m_state[_id];
  if (state.partner != _partner) {
    if (state.partner != no_id) {
      auto& named = m_named_by[state.partner];
      named.erase(std::find(named.begin(), named.end(), _id));
      --m_state[state.partner].named_by;
    }
    if (_partner != no_id) {
      m_named_by[_partner].push_back(_id);
      ++m_state[_partner].named_by;
    }
    state.partner = _partner;
  }
  if (_driving == state.driving) {
    return;
  }
  state.driving = _driving;
  if (_driving) {
    m_drivers[state.person].insert(_id);
  } else {
    m_drivers[state.person].erase(_id);
  }
  set_incomplete(_id, _driving);
}

void pair_candidates::collect_all(std::uint32_t _id, std::vector<std::uint32_t>& _out) const {
  const auto add_positioned = [&](std::uint32_t _other) {
    if (m_grid.contains(_other)) {
      _out.push_back(_other);
    }
  };
  if (m_state[_id].person) {
    std::for_each(m_non_persons.begin(), m_non_persons.end(), add_positioned);
  } else {
    for (std::uint32_t other = 0; other < m_state.size(); ++other) {
      add_positioned(other);
    }
  }
}

void pair_candidates::collect(std::uint32_t _id, bool _was_positioned, std::int32_t _x,
                              std::int32_t _y, const event_store& _events,
                              std::vector<std::uint32_t>& _out) {
  _out.clear();
  const object_state& self = m_state[_id];
  if (self.driving && !self.incomplete) {
    return;  // every pair of a complete driver already holds its skipped event
  }
  if (_id == m_empty_uid_id || self.driving) {
    // Every unassociated object "names" the empty uid; an incomplete driver meets everyone.
    if (self.driving) {
      set_incomplete(_id, false);
    }
    collect_all(_id, _out);
    return;
  }
  const bool persons_pair = !self.person;  // a person never pairs with a person
  const auto add = [&_out](std::uint32_t _other) { _out.push_back(_other); };
  // A complete driver near by needs no evaluation either: its pair already holds its skipped
  // event (when this object was not positioned before, the driver lists below add it).
  m_grid.for_each_near(_x, _y, [&](std::uint32_t _other, std::int32_t _ox, std::int32_t _oy) {
    const object_state& other = m_state[_other];
    if ((persons_pair || !other.person) && (!other.driving || other.incomplete) &&
        planar_distance_mm(_x, _y, _ox, _oy) <= std::int64_t{m_threshold_mm}) {
      add(_other);
    }
  });
  _events.for_each_partner_not_driving(_id, add);
  // Objects associated with this one; drivers among them are left to the driver lists below.
  const auto add_unless_driving = [&](std::uint32_t _other) {
    if (!m_state[_other].driving) {
      add(_other);
    }
  };
  if (self.partner != no_id) {
    add_unless_driving(self.partner);
  } else if (m_empty_uid_id != no_id) {
    add_unless_driving(m_empty_uid_id);  // an unassociated object "is associated" with ""
  }
  if (self.named_by != 0) {
    std::for_each(m_named_by[_id].begin(), m_named_by[_id].end(), add_unless_driving);
  }
  // A complete driver already met every object that was positioned before this line.
  for (int kind = 0; kind < (persons_pair ? 2 : 1); ++kind) {
    const auto& drivers =
        _was_positioned ? m_incomplete_positioned_drivers[kind].ids() : m_drivers[kind].ids();
    for (const std::uint32_t driver : drivers) {
      add(driver);
    }
  }
  std::sort(_out.begin(), _out.end());
  _out.erase(std::unique(_out.begin(), _out.end()), _out.end());
  const auto self_entry = std::lower_bound(_out.begin(), _out.end(), _id);
  if (self_entry != _out.end() && *self_entry == _id) {
    _out.erase(self_entry);
  }
}
}  // namespace vela
