#include "replay/event_store.hpp"

#include <algorithm>
#include <stdexcept>

namespace vela {
namespace {
constexpr std::size_t max_objects = (std::size_t{1} << 30) - 1;  // a row entry keeps 30 bits
constexpr std::size_t min_row_capacity = 4;

std::uint32_t row_home(object_id _partner, std::size_t _capacity) {
  const std::uint32_t hash = (_partner + 1) * 0x9E3779B1u;
  return hash >> (32 - __builtin_ctzll(_capacity));
}

std::uint32_t row_entry(object_id _partner, std::uint32_t _flags) {
  return ((_partner + 1) << 2) | _flags;
}

object_id row_partner(std::uint32_t _entry) { return (_entry >> 2) - 1; }
}  // namespace

void event_store::reset(const hot_objects& _objects) {
  const std::size_t object_count = _objects.size();
  if (object_count > max_objects) {
    throw std::length_error("too many trackable objects");
  }
  m_objects = &_objects;
  m_active_lists.assign(object_count, {});
  m_active_counts.assign(object_count, 0);
  m_rows.assign(object_count, {});
  m_row_counts.assign(object_count, 0);
  m_met.assign(object_count, {});
}

std::uint64_t event_store::pair_key(object_id _a, object_id _b) {
  // The same key whichever object comes first.
  return (static_cast<std::uint64_t>(std::max(_a, _b)) << 32) | std::min(_a, _b);
}

event_store::pair_view event_store::find(object_id _a, object_id _b) const {
  if (const std::uint32_t* slot = m_active_index.find(pair_key(_a, _b))) {
    return active_view(_a, *slot);
  }
  return find_inactive(_a, _b);
}

void event_store::open(object_id _a, object_id _b, const event_record* _record,
                       bool _desensitized) {
  std::uint64_t number = no_record;
  if (_record != nullptr) {
    number = m_created++;
    m_records.push_back(*_record);
    m_records.back().m_state = event_record::state::open;
  }
  if (!is_driving(_a) && !is_driving(_b)) {
    set_quiet_flags(_a, _b, 0);
    activate(_a, _b, number, _desensitized);
    return;
  }
  // With a driver the event is skipped: nothing of it is kept but the pair's bits.
  if (number != no_record) {
    record(number).m_state = event_record::state::skipped;
  }
  set_quiet_flags(_a, _b, open_bit | (_desensitized ? desensitized_bit : 0));
  if (is_driving(_a)) {
    m_met[_a].push_back(_b);
  } else {
    m_met[_b].push_back(_a);
  }
}

void event_store::close(const pair_view& _pair, bool _desensitized) {
  if (_pair.slot != no_slot) {
    const active_pair pair = m_active[_pair.slot];
    if (pair.record != no_record) {
      record(pair.record).m_state = event_record::state::closed;
    }
    deactivate(_pair.slot);
  }
  // A quiet pair's event was never to be written.
  set_quiet_flags(_pair.a, _pair.b, _desensitized ? desensitized_bit : 0);
}

void event_store::mark_skipped(const pair_view& _pair) {
  if (_pair.slot == no_slot) {
    return;  // a quiet pair's event is skipped already
  }
  active_pair& pair = m_active[_pair.slot];
  if (pair.record != no_record) {
    record(pair.record).m_state = event_record::state::skipped;
    pair.record = no_record;
    pair.distance = UINT32_MAX;
  }
}

void event_store::driving_changed(object_id _object) {
  if (is_driving(_object)) {
    // Its open events turn quiet: skipped (the driver rule holds for every one of them now).
    while (!m_active_lists[_object].empty()) {
      const std::uint32_t slot = m_active_lists[_object].back();
      const active_pair pair = m_active[slot];
      if (pair.record != no_record) {
        record(pair.record).m_state = event_record::state::skipped;
      }
      deactivate(slot);
      const object_id partner = pair.objects[0] == _object ? pair.objects[1] : pair.objects[0];
      set_quiet_flags(_object, partner, open_bit | (pair.desensitized ? desensitized_bit : 0));
      m_met[_object].push_back(partner);
    }
    return;
  }
  // Its open events turn active again, unless the partner drives too.
  std::vector<object_id> met;
  met.swap(m_met[_object]);
  if (m_lines_ended) {
    return;  // nothing reads them again: activating them would cost memory for nothing
  }
  for (const object_id partner : met) {
    const std::uint32_t flags = quiet_flags(_object, partner);
    if ((flags & open_bit) == 0) {
      continue;  // listed twice, and made active already
    }
    if (is_driving(partner)) {
      m_met[partner].push_back(_object);
      continue;
    }
    set_quiet_flags(_object, partner, 0);
    activate(_object, partner, no_record, (flags & desensitized_bit) != 0);
  }
}

void event_store::end_line() {
  const std::uint64_t count = m_created - m_line_first;
  if (count >= 2) {
    // Created in the order the pairs were evaluated; the line's object is objects[0] of each.
    const auto begin = m_records.end() - static_cast<std::ptrdiff_t>(count);
    std::sort(begin, m_records.end(), [](const event_record& _l, const event_record& _r) {
      return _l.objects[1] < _r.objects[1];
    });
    for (std::uint64_t number = m_line_first; number < m_created; ++number) {
      const event_record& rec = record(number);
      active_pair& pair = m_active[*m_active_index.find(pair_key(rec.objects[0], rec.objects[1]))];
      pair.record = number;
      pair.distance = rec.distance;
    }
  }
  m_line_first = m_created;
}

std::uint32_t event_store::activate(object_id _a, object_id _b, std::uint64_t _record,
                                    bool _desensitized) {
  std::uint32_t slot = 0;
  if (m_free_active.empty()) {
    slot = static_cast<std::uint32_t>(m_active.size());
    m_active.emplace_back();
  } else {
    slot = m_free_active.back();
    m_free_active.pop_back();
  }
  active_pair& pair = m_active[slot];
  pair.objects = {_a, _b};
  pair.record = _record;
  pair.distance = _record == no_record ? UINT32_MAX : record(_record).distance;
  pair.desensitized = _desensitized;
  for (int side = 0; side < 2; ++side) {
    std::vector<std::uint32_t>& list = m_active_lists[pair.objects[side]];
    pair.list_pos[side] = static_cast<std::uint32_t>(list.size());
    list.push_back(slot);
    ++m_active_counts[pair.objects[side]];
  }
  m_active_index.find_or_insert(pair_key(_a, _b)) = slot;
  return slot;
}

void event_store::deactivate(std::uint32_t _slot) {
  const active_pair pair = m_active[_slot];
  for (int side = 0; side < 2; ++side) {
    const object_id object = pair.objects[side];
    std::vector<std::uint32_t>& list = m_active_lists[object];
    const std::uint32_t moved = list.back();
    list[pair.list_pos[side]] = moved;
    list.pop_back();
    --m_active_counts[object];
    if (moved != _slot) {
      active_pair& moved_pair = m_active[moved];
      moved_pair.list_pos[moved_pair.objects[0] == object ? 0 : 1] = pair.list_pos[side];
    }
  }
  m_active_index.erase(pair_key(pair.objects[0], pair.objects[1]));
  m_free_active.push_back(_slot);
}

std::uint32_t event_store::quiet_flags(object_id _a, object_id _b) const {
  const std::vector<std::uint32_t>& row = m_rows[std::min(_a, _b)];
  if (row.empty()) {
    return 0;
  }
  const object_id partner = std::max(_a, _b);
  const std::size_t mask = row.size() - 1;
  for (std::size_t i = row_home(partner, row.size());; i = (i + 1) & mask) {
    if (row[i] == 0) {
      return 0;
    }
    if (row_partner(row[i]) == partner) {
      return row[i] & 3;
    }
  }
}

void event_store::set_quiet_flags(object_id _a, object_id _b, std::uint32_t _flags) {
  const object_id owner = std::min(_a, _b);
  const object_id partner = std::max(_a, _b);
  std::vector<std::uint32_t>& row = m_rows[owner];
  if (_flags == 0 && row.empty()) {
    return;
  }
  if (_flags != 0 && (m_row_counts[owner] + 1) * 4 > row.size() * 3) {
    grow_row(owner);
  }
  const std::size_t mask = row.size() - 1;
  std::size_t i = row_home(partner, row.size());
  for (; row[i] != 0; i = (i + 1) & mask) {
    if (row_partner(row[i]) == partner) {
      break;
    }
  }
  if (row[i] != 0 && _flags != 0) {
    row[i] = row_entry(partner, _flags);
    return;
  }
  if (row[i] == 0) {
    if (_flags != 0) {
      row[i] = row_entry(partner, _flags);
      ++m_row_counts[owner];
    }
    return;
  }
  erase_from_row(owner, i);
}

// Later entries of the run move back into the hole when their home allows it, so that every
// entry stays reachable from its home.
void event_store::erase_from_row(object_id _owner, std::size_t _place) {
  std::vector<std::uint32_t>& row = m_rows[_owner];
  const std::size_t mask = row.size() - 1;
  std::size_t hole = _place;
  for (std::size_t j = (hole + 1) & mask; row[j] != 0; j = (j + 1) & mask) {
    const std::size_t home = row_home(row_partner(row[j]), row.size());
    const bool stays = (hole < j) ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!stays) {
      row[hole] = row[j];
      hole = j;
    }
  }
  row[hole] = 0;
  --m_row_counts[_owner];
}

void event_store::grow_row(object_id _owner) {
  std::vector<std::uint32_t> old;
  old.swap(m_rows[_owner]);
  std::vector<std::uint32_t>& row = m_rows[_owner];
  row.assign(old.empty() ? min_row_capacity : old.size() * 2, 0);
  const std::size_t mask = row.size() - 1;
  for (const std::uint32_t entry : old) {
    if (entry != 0) {
      std::size_t i = row_home(row_partner(entry), row.size());
      while (row[i] != 0) {
        i = (i + 1) & mask;
      }
      row[i] = entry;
    }
  }
}
}  // namespace vela
