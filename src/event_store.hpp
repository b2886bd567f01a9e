#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "event.hpp"
#include "flat_map.hpp"

namespace vela {
// The events of a run and the state of every pair of objects, keyed by object ids.
//
// An open event lives in a slot. When it closes, a slot whose event will be written stays taken
// until the output; a skipped event gives its slot back. Memory therefore follows the result
// and the open events, not the length of the recording.
//
// Each object's open events are split by whether the partner currently drives a vehicle: an
// open event with a driver is always skipped and always under the driver rule, so evaluating that
// pair changes nothing, and the replay asks only for the other events.
class event_store {
 public:
  // Sizes the per-object tables; the store must be empty.
  void reset(std::size_t _object_count);

  // The open event of the pair, or nullptr. At most one event of a pair is open at a time.
  event* find(std::uint32_t _a, std::uint32_t _b);
  // Stores _event as the open event of the pair (which has none), setting its index to the
  // number of events created before it. The reference stays valid while the event is open.
  event& open(const event& _event, std::uint32_t _a, std::uint32_t _b);
  // Closes the open event of the pair; its duration must already be set.
  void close(std::uint32_t _a, std::uint32_t _b);

  // The hysteresis state of the pair.
  bool is_desensitized(std::uint32_t _a, std::uint32_t _b) const;
  void set_desensitized(bool _state, std::uint32_t _a, std::uint32_t _b);

  // Calls _callback(event&) on each open event of _object until it returns false; returns false
  // then. The callback must not open or close events.
  template <class Callback>
  bool for_each_open(std::uint32_t _object, Callback&& _callback);
  // Calls _callback(partner id) for each open event of _object whose partner does not drive.
  template <class Callback>
  void for_each_partner_not_driving(std::uint32_t _object, Callback&& _callback) const;
  // Records whether _object drives now; its open events move between its partners' lists.
  void set_driving(std::uint32_t _object, bool _driving);

  // Calls _callback(event&) on every open event.
  template <class Callback>
  void for_each_open_event(Callback&& _callback);
  // Events to write (open or closed, not skipped), in creation order.
  std::vector<const event*> written_in_creation_order() const;
  // Number of events created so far.
  std::uint64_t created() const { return m_created; }

 private:
  enum class slot_state : std::uint8_t { free, open, closed };
  struct slot {
    event ev;
    std::array<std::uint32_t, 2> objects{};   // ids of the two objects
    std::array<std::uint32_t, 2> list_pos{};  // place in each object's list
    slot_state state = slot_state::free;
  };
  struct pair_entry {
    std::uint32_t open_slot = no_slot;
    bool desensitized = false;
  };
  static constexpr std::uint32_t no_slot = UINT32_MAX;

  struct key_hash {
    std::uint64_t operator()(std::uint64_t _key) const { return _key; }
  };

  static std::uint64_t pair_key(std::uint32_t _a, std::uint32_t _b);
  std::vector<std::uint32_t>& list_of(const slot& _slot, int _side);
  void link(std::uint32_t _slot, int _side);
  void unlink(std::uint32_t _slot, int _side);
  void forget_if_idle(std::uint64_t _key, const pair_entry& _entry);

  std::deque<slot> m_slots;  // a deque: open events are held by reference while slots are added
  std::vector<std::uint32_t> m_free_slots;
  flat_map<std::uint64_t, pair_entry, key_hash> m_pairs;  // only pairs with state
  // Per object: open event slots whose partner does not drive [0] and drives [1].
  std::vector<std::array<std::vector<std::uint32_t>, 2>> m_lists;
  std::vector<std::uint32_t> m_not_driving_count;  // the size of each object's list [0]
  std::vector<std::uint8_t> m_driving;
  std::uint64_t m_created = 0;
};

template <class Callback>
bool event_store::for_each_open(std::uint32_t _object, Callback&& _callback) {
  for (const auto& list : m_lists[_object]) {
    for (const std::uint32_t s : list) {
      if (!_callback(m_slots[s].ev)) {
        return false;
      }
    }
  }
  return true;
}

template <class Callback>
void event_store::for_each_partner_not_driving(std::uint32_t _object, Callback&& _callback) const {
  if (m_not_driving_count[_object] == 0) {
    return;  // the usual case, told by a small array without touching the lists
  }
  for (const std::uint32_t s : m_lists[_object][0]) {
    const slot& sl = m_slots[s];
    _callback(sl.objects[0] == _object ? sl.objects[1] : sl.objects[0]);
  }
}

template <class Callback>
void event_store::for_each_open_event(Callback&& _callback) {
  for (slot& sl : m_slots) {
    if (sl.state == slot_state::open) {
      _callback(sl.ev);
    }
  }
}
}  // namespace vela
