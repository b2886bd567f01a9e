#pragma once

#include <sched.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace vela {
// Whether this process may use a second core: a hand-over to another thread pays only then.
inline bool second_core_available() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  return ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1;
}

// Items made on one thread and used on another, a fixed number of them in flight, so that memory
// stays bounded: the maker takes a free item, fills it and hands it over; the user takes the
// filled items in the order they were handed over and gives each back when done with it. The
// maker's last item ends the stream; stop() releases a maker that waits for a free item, for
// good.
template <class Item>
class handover {
 public:
  explicit handover(std::size_t _in_flight) : m_items(_in_flight) {
    for (Item& item : m_items) {
      m_free.push_back(&item);
    }
  }
  handover(const handover&) = delete;
  handover& operator=(const handover&) = delete;

  // The maker's side. A free item; nullptr once stopped.
  Item* take_free() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_free.empty() || m_stopping; });
    if (m_stopping) {
      return nullptr;
    }
    Item* item = m_free.back();
    m_free.pop_back();
    return item;
  }
  // _item filled; with _last, nothing follows it. A null _item ends the stream alone.
  void hand_over(Item* _item, bool _last) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (_item != nullptr) {
        m_filled.push_back(_item);
      }
      m_ended = m_ended || _last;
    }
    m_changed.notify_all();
  }

  // The user's side. The next filled item; nullptr after the last.
  Item* take_filled() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_filled.empty() || m_ended; });
    if (m_filled.empty()) {
      return nullptr;
    }
    Item* item = m_filled.front();
    m_filled.pop_front();
    return item;
  }
  void give_back(Item* _item) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_free.push_back(_item);
    }
    m_changed.notify_all();
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopping = true;
    }
    m_changed.notify_all();
  }

 private:
  std::vector<Item> m_items;
  std::vector<Item*> m_free;
  std::deque<Item*> m_filled;
  bool m_ended = false;
  bool m_stopping = false;
  std::mutex m_mutex;
  std::condition_variable m_changed;
};
}  // namespace vela
