#include "event_store.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace vela {
namespace {
event make_event(std::int64_t _ts, event::should_skip _skip = event::should_skip::no) {
  event ev;
  ev.timestamp = timestamp(_ts, 0);
  ev.m_should_skip = _skip;
  ev.index = 99;  // the store sets it
  return ev;
}

std::vector<std::uint64_t> written_indexes(const event_store& _store) {
  std::vector<std::uint64_t> indexes;
  for (const event* ev : _store.written_in_creation_order()) {
    indexes.push_back(ev->index);
  }
  return indexes;
}

std::vector<std::uint64_t> open_indexes(event_store& _store, std::uint32_t _object) {
  std::vector<std::uint64_t> indexes;
  _store.for_each_open(_object, [&](event& _ev) {
    indexes.push_back(_ev.index);
    return true;
  });
  std::sort(indexes.begin(), indexes.end());
  return indexes;
}

std::vector<std::uint32_t> partners_not_driving(const event_store& _store, std::uint32_t _object) {
  std::vector<std::uint32_t> ids;
  _store.for_each_partner_not_driving(_object, [&](std::uint32_t _id) { ids.push_back(_id); });
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(EventStoreTest, FindsOpenPairInEitherOrderUntilClosed) {
  event_store store;
  store.reset(3);
  event& first = store.open(make_event(10), 0, 1);
  EXPECT_EQ(first.index, 0u);
  EXPECT_EQ(store.find(0, 1), &first);
  EXPECT_EQ(store.find(1, 0), &first);
  EXPECT_EQ(store.find(0, 2), nullptr);
  store.close(1, 0);
  EXPECT_EQ(store.find(0, 1), nullptr);
  EXPECT_EQ(store.find(1, 0), nullptr);
  const event& second = store.open(make_event(20), 1, 0);
  EXPECT_EQ(store.find(0, 1), &second);
  EXPECT_EQ(second.index, 1u);
  EXPECT_EQ(open_indexes(store, 0), std::vector<std::uint64_t>{1});  // one open event per pair
  EXPECT_EQ(written_indexes(store), (std::vector<std::uint64_t>{0, 1}));
}

TEST(EventStoreTest, SkippedEventsTakeAnIndexAndLeaveTheOutput) {
  event_store store;
  store.reset(4);
  store.open(make_event(1), 0, 1);
  store.open(make_event(2, event::should_skip::yes), 0, 2);
  store.open(make_event(3), 1, 2);
  store.close(0, 1);
  store.close(2, 0);  // skipped: its slot is free again
  const event& reusing = store.open(make_event(4), 2, 3);
  store.open(make_event(5, event::should_skip::yes), 0, 3);
  EXPECT_EQ(reusing.index, 3u);
  EXPECT_EQ(store.created(), 5u);
  EXPECT_EQ(written_indexes(store), (std::vector<std::uint64_t>{0, 2, 3}));
  // The events still open are untouched by the reuse.
  EXPECT_EQ(open_indexes(store, 2), (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(store.find(1, 2)->timestamp, timestamp(3, 0));
  EXPECT_EQ(store.find(3, 2)->timestamp, timestamp(4, 0));
  EXPECT_EQ(store.find(3, 0)->index, 4u);
  EXPECT_EQ(store.find(0, 2), nullptr);
  store.find(1, 2)->m_should_skip = event::should_skip::yes;  // marked while open
  EXPECT_EQ(written_indexes(store), (std::vector<std::uint64_t>{0, 3}));
  int visited = 0;
  EXPECT_FALSE(store.for_each_open(2, [&](event&) { return ++visited > 5; }));
  EXPECT_EQ(visited, 1);
}

TEST(EventStoreTest, DesensitizedStateIsPerPairAndIndependentOfEvents) {
  event_store store;
  store.reset(3);
  store.set_desensitized(false, 0, 1);  // unknown pair: nothing to clear
  store.set_desensitized(true, 0, 1);
  EXPECT_TRUE(store.is_desensitized(1, 0));
  EXPECT_FALSE(store.is_desensitized(0, 2));
  store.open(make_event(1), 1, 0);
  store.close(0, 1);
  EXPECT_TRUE(store.is_desensitized(0, 1));  // closing keeps it
  store.open(make_event(2), 0, 1);
  store.set_desensitized(false, 1, 0);
  EXPECT_FALSE(store.is_desensitized(0, 1));
  EXPECT_NE(store.find(0, 1), nullptr);  // clearing keeps the open event
}

TEST(EventStoreTest, DrivingPartnersLeaveTheNotDrivingList) {
  event_store store;
  store.reset(5);
  store.open(make_event(1), 0, 1);
  store.open(make_event(2), 2, 0);
  store.open(make_event(3), 0, 3);
  store.set_driving(1, true);
  store.set_driving(1, true);
  EXPECT_EQ(partners_not_driving(store, 0), (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(partners_not_driving(store, 1), std::vector<std::uint32_t>{0});
  store.set_driving(3, true);
  EXPECT_EQ(partners_not_driving(store, 0), std::vector<std::uint32_t>{2});
  EXPECT_EQ(open_indexes(store, 0), (std::vector<std::uint64_t>{0, 1, 2}));
  store.close(1, 0);  // closed while its partner drives
  store.open(make_event(4), 4, 3);
  EXPECT_EQ(partners_not_driving(store, 4), std::vector<std::uint32_t>{});
  store.set_driving(3, false);
  store.set_driving(1, false);
  EXPECT_EQ(partners_not_driving(store, 0), (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(partners_not_driving(store, 4), std::vector<std::uint32_t>{3});
  EXPECT_EQ(partners_not_driving(store, 1), std::vector<std::uint32_t>{});
  EXPECT_EQ(open_indexes(store, 3), (std::vector<std::uint64_t>{2, 3}));
}
}  // namespace
}  // namespace vela
