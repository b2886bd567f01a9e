#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace vela {
// A hash map in one array with linear probing, for the lookups made on every line: a lookup is
// usually one memory access, and nothing is allocated per entry. At most half full, so probe runs
// stay short; erasing shifts the run back instead of leaving tombstones. Pointers to values stay
// valid until the next insertion or erasure.
template <class Key, class Value, class Hash, class Equal = std::equal_to<Key>>
class flat_map {
 public:
  std::size_t size() const { return m_size; }

  Value* find(const Key& _key) {
    return const_cast<Value*>(static_cast<const flat_map*>(this)->find(_key));
  }
  const Value* find(const Key& _key) const {
    if (m_places.empty()) {
      return nullptr;
    }
    for (std::size_t i = home(_key);; i = next(i)) {
      const place& p = m_places[i];
      if (!p.used) {
        return nullptr;
      }
      if (Equal{}(p.key, _key)) {
        return &p.value;
      }
    }
  }

  // The value of _key, inserted as Value{} when absent.
  Value& find_or_insert(const Key& _key) {
    if (Value* found = find(_key)) {
      return *found;
    }
    if ((m_size + 1) * 2 > m_places.size()) {
      grow();
    }
    std::size_t i = home(_key);
    while (m_places[i].used) {
      i = next(i);
    }
    m_places[i] = place{_key, Value{}, true};
    ++m_size;
    return m_places[i].value;
  }

  void erase(const Key& _key) {
    if (m_places.empty()) {
      return;
    }
    std::size_t i = home(_key);
    for (; m_places[i].used; i = next(i)) {
      if (Equal{}(m_places[i].key, _key)) {
        break;
      }
    }
    if (!m_places[i].used) {
      return;
    }
    // Move later members of the run into the hole when their home is not between the hole and
    // them, so that every key stays reachable from its home.
    for (std::size_t j = next(i); m_places[j].used; j = next(j)) {
      const std::size_t h = home(m_places[j].key);
      const bool stays = (i < j) ? (i < h && h <= j) : (i < h || h <= j);
      if (!stays) {
        m_places[i] = std::move(m_places[j]);
        i = j;
      }
    }
    m_places[i] = place{};
    --m_size;
  }

  void clear() {
    m_places.clear();
    m_size = 0;
  }

 private:
  struct place {
    Key key{};
    Value value{};
    bool used = false;
  };

  std::size_t home(const Key& _key) const {
    // Fibonacci hashing spreads hashes of consecutive keys over the whole table.
    return static_cast<std::size_t>((static_cast<std::uint64_t>(Hash{}(_key)) *
                                     0x9E3779B97F4A7C15ull) >> m_shift);
  }
  std::size_t next(std::size_t _i) const { return (_i + 1) & (m_places.size() - 1); }

  void grow() {
    std::vector<place> old = std::move(m_places);
    const std::size_t capacity = old.empty() ? 64 : old.size() * 2;
    m_places.assign(capacity, place{});
    m_shift = 64 - __builtin_ctzll(capacity);
    m_size = 0;
    for (place& p : old) {
      if (p.used) {
        find_or_insert(p.key) = std::move(p.value);
      }
    }
  }

  std::vector<place> m_places;  // a power of two in size
  std::size_t m_size = 0;
  int m_shift = 64;
};
}  // namespace vela
