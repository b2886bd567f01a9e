#include "event_store.hpp"

#include <algorithm>
#include <stdexcept>

namespace vela {
void event_store::reset(std::size_t _object_count) {
  m_lists.assign(_object_count, {});
  m_not_driving_count.assign(_object_count, 0);
  m_driving.assign(_object_count, 0);
}

std::uint64_t event_store::pair_key(std::uint32_t _a, std::uint32_t _b) {
  // The same key whichever object comes first.
  const auto hi = std::max(_a, _b);
  const auto lo = std::min(_a, _b);
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

event* event_store::find(std::uint32_t _a, std::uint32_t _b) {
  const pair_entry* entry = m_pairs.find(pair_key(_a, _b));
  if (entry == nullptr || entry->open_slot == no_slot) {
    return nullptr;
  }
  return &m_slots[entry->open_slot].ev;
}

event& event_store::open(const event& _event, std::uint32_t _a, std::uint32_t _b) {
  std::uint32_t s = no_slot;
  if (!m_free_slots.empty()) {
    s = m_free_slots.back();
    m_free_slots.pop_back();
  } else {
    if (m_slots.size() >= no_slot) {
      throw std::length_error("too many events");
    }
    s = static_cast<std::uint32_t>(m_slots.size());
    m_slots.emplace_back();
  }
  slot& sl = m_slots[s];
  sl.ev = _event;
  sl.ev.index = m_created++;
  sl.objects = {_a, _b};
  sl.state = slot_state::open;
  link(s, 0);
  link(s, 1);
  m_pairs.find_or_insert(pair_key(_a, _b)).open_slot = s;
  return sl.ev;
}

void event_store::close(std::uint32_t _a, std::uint32_t _b) {
  const std::uint64_t key = pair_key(_a, _b);
  pair_entry* entry = m_pairs.find(key);
  const std::uint32_t s = entry->open_slot;
  entry->open_slot = no_slot;
  forget_if_idle(key, *entry);
  unlink(s, 0);
  unlink(s, 1);
  slot& sl = m_slots[s];
  if (sl.ev.m_should_skip == event::should_skip::yes) {
    sl.state = slot_state::free;  // never written: nothing of it is needed any more
    m_free_slots.push_back(s);
  } else {
    sl.state = slot_state::closed;
  }
}

bool event_store::is_desensitized(std::uint32_t _a, std::uint32_t _b) const {
  const pair_entry* entry = m_pairs.find(pair_key(_a, _b));
  return entry != nullptr && entry->desensitized;
}

void event_store::set_desensitized(bool _state, std::uint32_t _a, std::uint32_t _b) {
  const std::uint64_t key = pair_key(_a, _b);
  if (_state) {
    m_pairs.find_or_insert(key).desensitized = true;
    return;
  }
  if (pair_entry* entry = m_pairs.find(key)) {
    entry->desensitized = false;
    forget_if_idle(key, *entry);
  }
}

void event_store::forget_if_idle(std::uint64_t _key, const pair_entry& _entry) {
  if (_entry.open_slot == no_slot && !_entry.desensitized) {
    m_pairs.erase(_key);
  }
}

std::vector<std::uint32_t>& event_store::list_of(const slot& _slot, int _side) {
  const std::uint32_t partner = _slot.objects[1 - _side];
  return m_lists[_slot.objects[_side]][m_driving[partner]];
}

void event_store::link(std::uint32_t _slot, int _side) {
  slot& sl = m_slots[_slot];
  auto& list = list_of(sl, _side);
  sl.list_pos[_side] = static_cast<std::uint32_t>(list.size());
  list.push_back(_slot);
  m_not_driving_count[sl.objects[_side]] =
      static_cast<std::uint32_t>(m_lists[sl.objects[_side]][0].size());
}

void event_store::unlink(std::uint32_t _slot, int _side) {
  const slot& sl = m_slots[_slot];
  const std::uint32_t object = sl.objects[_side];
  auto& list = list_of(sl, _side);
  const std::uint32_t pos = sl.list_pos[_side];
  const std::uint32_t moved = list.back();
  list[pos] = moved;
  list.pop_back();
  m_not_driving_count[object] = static_cast<std::uint32_t>(m_lists[object][0].size());
  if (moved != _slot) {
    slot& moved_slot = m_slots[moved];
    moved_slot.list_pos[moved_slot.objects[0] == object ? 0 : 1] = pos;
  }
}

void event_store::set_driving(std::uint32_t _object, bool _driving) {
  if (static_cast<bool>(m_driving[_object]) == _driving) {
    return;
  }
  // The object's own lists do not change: they are split by its partners' state.
  std::vector<std::uint32_t> slots;
  for (const auto& list : m_lists[_object]) {
    slots.insert(slots.end(), list.begin(), list.end());
  }
  const auto partner_side = [&](std::uint32_t s) { return m_slots[s].objects[0] == _object; };
  for (const std::uint32_t s : slots) {
    unlink(s, partner_side(s) ? 1 : 0);
  }
  m_driving[_object] = _driving;
  for (const std::uint32_t s : slots) {
    link(s, partner_side(s) ? 1 : 0);
  }
}

std::vector<const event*> event_store::written_in_creation_order() const {
  std::vector<const event*> events;
  for (const slot& sl : m_slots) {
    if (sl.state != slot_state::free && sl.ev.m_should_skip == event::should_skip::no) {
      events.push_back(&sl.ev);
    }
  }
  std::sort(events.begin(), events.end(),
            [](const event* _l, const event* _r) { return _l->index < _r->index; });
  return events;
}
}  // namespace vela
