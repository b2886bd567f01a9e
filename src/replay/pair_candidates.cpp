#include "replay/pair_candidates.hpp"

#include <algorithm>
#include <cstdlib>

#include "base/geometry.hpp"

namespace vela {
namespace {
// Tags at 2 Hz on people walking move some 600 mm a line, but most of a crowd stands or
// shuffles: a skin of half a metre spares most of their lines a search.
constexpr std::uint64_t skin_mm = 500;
constexpr std::size_t list_entries_per_object = 64;
constexpr std::size_t max_list_entries = std::size_t{1} << 22;  // 32 MiB
}  // namespace

void pair_candidates::id_set::insert(object_id _id) {
  if (!contains(_id)) {
    m_pos[_id] = static_cast<std::uint32_t>(m_ids.size());
    m_ids.push_back(_id);
  }
}

void pair_candidates::id_set::erase(object_id _id) {
  if (!contains(_id)) {
    return;
  }
  const object_id moved = m_ids.back();
  m_ids[m_pos[_id]] = moved;
  m_pos[moved] = m_pos[_id];
  m_ids.pop_back();
  m_pos[_id] = absent;
}

void pair_candidates::reset(const site& _site, std::uint32_t _threshold_mm,
                            const hot_objects& _objects) {
  const std::size_t count = _site.size();
  m_objects = &_objects;
  m_threshold_mm = _threshold_mm;
  const std::uint64_t limit = std::uint64_t{_threshold_mm} + 1;
  m_squared_limit = _threshold_mm < (std::uint32_t{1} << 31) ? limit * limit : 0;
  m_state.assign(count, object_state{});
  m_named_by.assign(count, {});
  m_non_persons.clear();
  for (object_id id = 0; id < count; ++id) {
    if (!_objects[id].person) {
      m_non_persons.push_back(id);
    }
    name(id, no_object, _objects[id].named);
  }
  // The references' differences within a search stay below 2^31: their squares are exact. A
  // pair is listed when the distance of the references rounds to the threshold plus the skin or
  // less: the two then stand within the threshold plus half a millimetre at most.
  const std::uint64_t reach = std::uint64_t{_threshold_mm} + skin_mm;
  m_listing = reach < (std::uint64_t{1} << 31);
  m_reach_square = reach * reach + reach;
  m_list_budget = std::min(list_entries_per_object * count, max_list_entries);
  m_lists.reset(count);
  m_relisted_on.assign(count, 0);
  m_relisting = 0;
  reset_grids(m_listing ? reach : _threshold_mm);
  for (int kind = 0; kind < 2; ++kind) {
    m_drivers[kind].reset(count);
    m_incomplete_positioned_drivers[kind].reset(count);
  }
  m_added_on.assign(count, 0);
  m_line = 0;
}

// Moves the object from the list of its old named partner to that of the new one. An object
// naming itself (the empty-uid object without a partner) is listed nowhere: it never pairs
// with itself.
void pair_candidates::name(object_id _id, object_id _was_named, object_id _named) {
  object_state& state = m_state[_id];
  if (_was_named == _id) {
    _was_named = no_object;
  }
  if (_named == _id) {
    _named = no_object;
  }
  if (_was_named == _named) {
    return;
  }
  if (_was_named != no_object) {
    std::vector<object_id>& list = m_named_by[_was_named];
    const object_id moved = list.back();
    list[state.named_pos] = moved;
    m_state[moved].named_pos = state.named_pos;
    list.pop_back();
    --m_state[_was_named].named_by;
  }
  if (_named != no_object) {
    state.named_pos = static_cast<std::uint32_t>(m_named_by[_named].size());
    m_named_by[_named].push_back(_id);
    ++m_state[_named].named_by;
  }
}

void pair_candidates::set_incomplete(object_id _driver, bool _incomplete) {
  m_state[_driver].incomplete = _incomplete;
  id_set& incomplete = m_incomplete_positioned_drivers[(*m_objects)[_driver].person];
  if (_incomplete && positioned(_driver)) {
    incomplete.insert(_driver);
  } else {
    incomplete.erase(_driver);
  }
}

void pair_candidates::moved(object_id _id, bool _was_positioned, bool _is_positioned,
                            std::int32_t _x, std::int32_t _y) {
  proximity_grid& grid = m_grids[(*m_objects)[_id].person];
  if (!_is_positioned) {
    grid.remove(_id);
    m_lists.clear(_id);
  } else if (!m_listing) {
    grid.place(_id, _x, _y);
  } else if (!grid.contains(_id) || beyond_half_skin(_id, _x, _y)) {
    relist(_id, _x, _y);
  }
  if ((*m_objects)[_id].driving && _was_positioned != _is_positioned) {
    set_incomplete(_id, m_state[_id].incomplete);  // follows the positioned state
  }
  if (!_was_positioned && _is_positioned) {
    // This line evaluates the object against the positioned drivers only; the others now lack
    // its skipped event.
    for (const id_set& drivers : m_drivers) {
      for (const object_id driver : drivers.ids()) {
        if (driver != _id && !positioned(driver)) {
          set_incomplete(driver, true);
        }
      }
    }
  }
}

void pair_candidates::association_changed(object_id _id, object_id _was_named,
                                          bool _was_driving) {
  const hot_object& now = (*m_objects)[_id];
  name(_id, _was_named, now.named);
  if (now.driving == _was_driving) {
    return;
  }
  if (now.driving) {
    m_drivers[now.person].insert(_id);
  } else {
    m_drivers[now.person].erase(_id);
  }
  set_incomplete(_id, now.driving);
}

bool pair_candidates::within_threshold(std::int32_t _x, std::int32_t _y, std::int32_t _ox,
                                       std::int32_t _oy) const {
  if (m_squared_limit == 0) {
    return planar_distance_mm(_x, _y, _ox, _oy) <= std::int64_t{m_threshold_mm};
  }
  // Within the search square both differences are below 2^31, so the sum of their squares is
  // exact. The limit (T + 1)^2 keeps every pair whose rounded distance can be T or less: a few
  // just beyond are evaluated for nothing, none within is missed.
  const auto dx = static_cast<std::uint64_t>(std::abs(std::int64_t{_ox} - _x));
  const auto dy = static_cast<std::uint64_t>(std::abs(std::int64_t{_oy} - _y));
  return dx * dx + dy * dy <= m_squared_limit;
}

bool pair_candidates::beyond_half_skin(object_id _id, std::int32_t _x, std::int32_t _y) const {
  constexpr std::int64_t half = skin_mm / 2;
  const std::int64_t dx = std::int64_t{_x} - m_state[_id].reference_x;
  const std::int64_t dy = std::int64_t{_y} - m_state[_id].reference_y;
  if (dx > half || -dx > half || dy > half || -dy > half) {
    return true;  // and the squares below stay small
  }
  return dx * dx + dy * dy > half * half;
}

void pair_candidates::relist(object_id _id, std::int32_t _x, std::int32_t _y) {
  m_state[_id].reference_x = _x;
  m_state[_id].reference_y = _y;
  const bool person = (*m_objects)[_id].person;
  m_grids[person].place(_id, _x, _y);
  if (++m_relisting == 0) {  // the marks wrapped around: start them afresh
    std::fill(m_relisted_on.begin(), m_relisted_on.end(), 0);
    m_relisting = 1;
  }
  const std::vector<neighbour_lists::entry>& list = m_lists.of(_id);
  for (const neighbour_lists::entry& listed : list) {
    m_relisted_on[listed.other] = m_relisting;  // dropped unless found again
  }
  const auto found = [&](object_id _other, std::int32_t _ox, std::int32_t _oy) {
    const auto dx = static_cast<std::uint64_t>(std::abs(std::int64_t{_ox} - _x));
    const auto dy = static_cast<std::uint64_t>(std::abs(std::int64_t{_oy} - _y));
    if (_other == _id || dx * dx + dy * dy > m_reach_square) {
      return;
    }
    if (m_relisted_on[_other] == m_relisting) {
      m_relisted_on[_other] = 0;  // kept
    } else {
      m_lists.add(_id, _other);
    }
  };
  m_grids[0].for_each_near(_x, _y, found, _id);
  if (!person) {
    m_grids[1].for_each_near(_x, _y, found, _id);
  }
  // From the end: a removal moves the last entry, visited already, into the hole.
  for (std::size_t i = list.size(); i-- > 0;) {
    if (m_relisted_on[list[i].other] == m_relisting) {
      m_lists.remove(_id, static_cast<std::uint32_t>(i));
    }
  }
  if (m_lists.entries() > m_list_budget) {
    stop_listing();
  }
}

void pair_candidates::reset_grids(std::uint64_t _radius_mm) {
  const std::size_t non_persons = m_non_persons.size();
  m_grids[0].reset(m_state.size(), _radius_mm, non_persons);
  m_grids[1].reset(m_state.size(), _radius_mm, m_state.size() - non_persons);
}

void pair_candidates::stop_listing() {
  m_listing = false;
  m_lists.reset(m_state.size());
  reset_grids(m_threshold_mm);
  const hot_objects& objects = *m_objects;
  for (object_id id = 0; id < objects.size(); ++id) {
    if (objects[id].positioned) {
      m_grids[objects[id].person].place(id, objects[id].x, objects[id].y);
    }
  }
}

void pair_candidates::add(object_id _other, std::vector<object_id>& _out) {
  if (m_added_on[_other] != m_line) {
    m_added_on[_other] = m_line;
    _out.push_back(_other);
  }
}

void pair_candidates::collect_all(object_id _id, std::vector<object_id>& _out) {
  const auto add_positioned = [&](object_id _other) {
    if (_other != _id && positioned(_other)) {
      _out.push_back(_other);
    }
  };
  if ((*m_objects)[_id].person) {
    std::for_each(m_non_persons.begin(), m_non_persons.end(), add_positioned);
  } else {
    for (object_id other = 0; other < m_state.size(); ++other) {
      add_positioned(other);
    }
  }
}

// The walk of a list, the most frequent search of a crowded site: most of what it reads are the
// partners of active pairs, marked already.
void pair_candidates::collect_listed(object_id _id, std::int32_t _x, std::int32_t _y,
                                     std::vector<object_id>& _out) {
  const std::uint32_t line = m_line;
  std::uint32_t* const added_on = m_added_on.data();
  const hot_object* const objects = m_objects->data();
  const object_state* const states = m_state.data();
  for (const neighbour_lists::entry& listed : m_lists.of(_id)) {
    const object_id other = listed.other;
    if (added_on[other] == line) {
      continue;
    }
    // Listing keeps the threshold below 2^31, so both differences and the sum of their squares
    // are exact.
    const hot_object& near = objects[other];
    const auto dx = static_cast<std::uint64_t>(std::abs(std::int64_t{near.x} - _x));
    const auto dy = static_cast<std::uint64_t>(std::abs(std::int64_t{near.y} - _y));
    if (dx * dx + dy * dy <= m_squared_limit && (!near.driving || states[other].incomplete)) {
      added_on[other] = line;
      _out.push_back(other);
    }
  }
}

void pair_candidates::begin_line(object_id _id) {
  if (++m_line == 0) {  // the marks wrapped around: start them afresh
    std::fill(m_added_on.begin(), m_added_on.end(), 0);
    m_line = 1;
  }
  m_added_on[_id] = m_line;  // never its own candidate
}

void pair_candidates::collect(object_id _id, bool _was_positioned, std::int32_t _x, std::int32_t _y,
                              std::vector<object_id>& _out) {
  _out.clear();
  const hot_objects& objects = *m_objects;
  const hot_object& self_now = objects[_id];
  object_state& self = m_state[_id];
  if (self_now.driving) {
    // A complete driver's pairs all hold their skipped event; an incomplete one meets everyone.
    if (self.incomplete) {
      set_incomplete(_id, false);
      collect_all(_id, _out);
    }
    return;
  }
  const bool persons_pair = !self_now.person;  // a person never pairs with a person
  // A complete driver near by needs no evaluation either: its pair already holds its skipped
  // event (when this object was not positioned before, the driver lists below add it).
  const auto near = [&](object_id _other, std::int32_t _ox, std::int32_t _oy) {
    if (m_added_on[_other] == m_line || !within_threshold(_x, _y, _ox, _oy)) {
      return;  // itself, a partner of an active pair, listed already, or too far
    }
    if (!objects[_other].driving || m_state[_other].incomplete) {
      add(_other, _out);
    }
  };
  if (m_listing && positioned(_id)) {
    collect_listed(_id, _x, _y, _out);
  } else {
    // A line at second 0 leaves its object unpositioned and unlisted, yet it meets the others
    // where it stands: around it, the references within the reach hold them all.
    const auto near_now = [&](object_id _other, std::int32_t, std::int32_t) {
      near(_other, objects[_other].x, objects[_other].y);
    };
    m_grids[0].for_each_near(_x, _y, near_now, _id);
    if (persons_pair) {
      m_grids[1].for_each_near(_x, _y, near_now, _id);
    }
  }
  // Objects associated with this one; drivers among them are left to the driver lists below.
  const auto add_unless_driving = [&](object_id _other) {
    if (!objects[_other].driving) {
      add(_other, _out);
    }
  };
  if (self_now.named != no_object && self_now.named != _id) {
    add_unless_driving(self_now.named);
  }
  if (self.named_by != 0) {
    for (const object_id other : m_named_by[_id]) {
      add_unless_driving(other);
    }
  }
  // A complete driver already met every object that was positioned before this line.
  for (int kind = 0; kind < (persons_pair ? 2 : 1); ++kind) {
    const auto& drivers =
        _was_positioned ? m_incomplete_positioned_drivers[kind].ids() : m_drivers[kind].ids();
    for (const object_id driver : drivers) {
      add(driver, _out);
    }
  }
}
}  // namespace vela
