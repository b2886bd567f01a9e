#include "replay/neighbour_lists.hpp"

namespace vela {
void neighbour_lists::reset(std::size_t _object_count) {
  m_lists.assign(_object_count, {});
  m_lists.shrink_to_fit();
  m_entries = 0;
}

void neighbour_lists::add(object_id _a, object_id _b) {
  std::vector<entry>& a = m_lists[_a];
  std::vector<entry>& b = m_lists[_b];
  a.push_back({_b, static_cast<std::uint32_t>(b.size())});
  b.push_back({_a, static_cast<std::uint32_t>(a.size() - 1)});
  m_entries += 2;
}

void neighbour_lists::take_out(object_id _id, std::uint32_t _place) {
  std::vector<entry>& list = m_lists[_id];
  if (_place + 1 != list.size()) {
    const entry last = list.back();
    list[_place] = last;
    m_lists[last.other][last.twin].twin = _place;
  }
  list.pop_back();
}

void neighbour_lists::remove(object_id _a, std::uint32_t _place) {
  const entry gone = m_lists[_a][_place];
  take_out(gone.other, gone.twin);
  take_out(_a, _place);
  m_entries -= 2;
}

void neighbour_lists::clear(object_id _a) {
  while (!m_lists[_a].empty()) {
    remove(_a, static_cast<std::uint32_t>(m_lists[_a].size() - 1));
  }
}
}  // namespace vela
