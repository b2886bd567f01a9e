#include "replay/event_store.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vela {
namespace {
event_record record_of(object_id _a, object_id _b, std::int64_t _ts) {
  event_record rec;
  rec.timestamp = timestamp(_ts, 0);
  rec.objects = {_a, _b};
  return rec;
}

std::vector<std::int64_t> taken(event_store& _store) {
  std::vector<std::int64_t> starts;
  _store.take_finished([&](const event_record& _event) { starts.push_back(_event.timestamp.ts); });
  return starts;
}

std::vector<object_id> active_partners(const event_store& _store, object_id _object) {
  std::vector<object_id> partners;
  _store.for_each_active_pair(_object, [&](const event_store::pair_view& _pair) {
    partners.push_back(_pair.other(_object));
  });
  std::sort(partners.begin(), partners.end());
  return partners;
}

// Closes the pair's event, its hysteresis as it was.
void close(event_store& _store, object_id _a, object_id _b) {
  const event_store::pair_view pair = _store.find(_a, _b);
  _store.close(pair, pair.desensitized);
}

TEST(EventStoreTest, EventsLeaveInCreationOrderOnceFinal) {
  const hot_objects objects(6);
  event_store store;
  store.reset(objects);
  const event_record first = record_of(0, 1, 10);
  const event_record second = record_of(2, 3, 20);
  const event_record third = record_of(4, 5, 30);
  store.open(0, 1, &first, false);
  store.end_line();
  store.open(2, 3, &second, false);
  store.end_line();
  store.open(4, 5, &third, false);
  store.end_line();
  close(store, 3, 2);  // either order names the pair
  store.mark_skipped(store.find(4, 5));
  EXPECT_TRUE(taken(store).empty());  // the first is still open
  ASSERT_NE(store.record_of(store.find(1, 0)), nullptr);
  EXPECT_EQ(store.record_of(store.find(1, 0))->timestamp.ts, 10);
  close(store, 0, 1);
  EXPECT_EQ(taken(store), (std::vector<std::int64_t>{10, 20}));  // the skipped one is dropped
  EXPECT_FALSE(store.find(0, 1).open);
  EXPECT_TRUE(store.find(4, 5).open);  // still open, never to be written
  EXPECT_EQ(store.record_of(store.find(4, 5)), nullptr);
}

TEST(EventStoreTest, EventsOfOneLineAreOrderedByTheOtherObject) {
  const hot_objects objects(5);
  event_store store;
  store.reset(objects);
  const event_record late = record_of(0, 4, 1);
  const event_record early = record_of(0, 1, 2);
  const event_record middle = record_of(0, 3, 3);
  store.open(0, 4, &late, false);
  store.open(0, 1, &early, false);
  store.open(0, 3, &middle, false);
  store.end_line();
  // Each pair still finds its own record after the reordering.
  for (const object_id other : {1u, 3u, 4u}) {
    ASSERT_NE(store.record_of(store.find(0, other)), nullptr);
    EXPECT_EQ(store.record_of(store.find(0, other))->objects[1], other);
  }
  for (const object_id other : {4u, 1u, 3u}) {
    close(store, 0, other);
  }
  EXPECT_EQ(taken(store), (std::vector<std::int64_t>{2, 3, 1}));
}

TEST(EventStoreTest, FinishEndsOpenEventsAtTheLatestTime) {
  const hot_objects objects(4);
  event_store store;
  store.reset(objects);
  event_record open = record_of(0, 1, 10);
  open.timestamp.ms = 600;
  const event_record closed = record_of(2, 3, 11);
  store.open(0, 1, &open, false);
  store.end_line();
  store.open(2, 3, &closed, false);
  store.end_line();
  store.record_of(store.find(2, 3))->duration = 5;
  close(store, 2, 3);
  std::vector<std::int64_t> durations;
  store.finish(timestamp(11, 100),
               [&](const event_record& _event) { durations.push_back(_event.duration); });
  EXPECT_EQ(durations, (std::vector<std::int64_t>{0, 5}));  // 0.5 s rounds to 0 and stays 0
}

// Random operations against a plain model of the pairs: open, desensitized, whether a record
// will be written, and which pairs are active (open, neither object driving).
TEST(EventStoreTest, AgreesWithAModelOfThePairs) {
  struct pair_model {
    bool open = false;
    bool desensitized = false;
    bool record = false;
  };
  constexpr object_id objects = 40;  // many pairs per row: rows grow and entries move back
  std::mt19937 random(11);
  std::uniform_int_distribution<object_id> pick(0, objects - 1);
  std::uniform_int_distribution<int> operation(0, 99);
  hot_objects table(objects);
  event_store store;
  store.reset(table);
  std::map<std::pair<object_id, object_id>, pair_model> model;
  std::set<object_id> driving;
  const auto key = [](object_id _a, object_id _b) {
    return std::make_pair(std::min(_a, _b), std::max(_a, _b));
  };
  for (int step = 0; step < 200000; ++step) {
    const object_id a = pick(random);
    const object_id b = pick(random);
    if (a == b) {
      continue;
    }
    pair_model& pair = model[key(a, b)];
    const bool quiet = driving.count(a) != 0 || driving.count(b) != 0;
    const int op = operation(random);
    const bool desensitized = op % 3 == 0;  // the hysteresis a change leaves
    if (op < 30 && !pair.open) {
      const event_record rec = record_of(a, b, step);
      const bool with_record = op < 20;
      store.open(a, b, with_record ? &rec : nullptr, desensitized);
      pair = {true, desensitized, with_record && !quiet};
    } else if (op < 65 && pair.open && !quiet) {
      store.close(store.find(a, b), desensitized);
      pair = {false, desensitized, false};
    } else if (op < 80) {
      store.mark_skipped(store.find(a, b));
      pair.record = false;
    } else if (op < 90 && table[a].driving != (op % 2 == 0)) {
      const bool drive = op % 2 == 0;
      table[a].driving = drive;
      store.driving_changed(a);
      if (drive) {
        driving.insert(a);
        for (auto& [pair_key, state] : model) {
          if (pair_key.first == a || pair_key.second == a) {
            state.record = false;  // a driver's events are never written
          }
        }
      } else {
        driving.erase(a);
      }
    }
    store.end_line();
    store.take_finished([](const event_record&) {});
    const event_store::pair_view view = store.find(b, a);
    ASSERT_EQ(view.open, pair.open) << "step " << step;
    ASSERT_EQ(view.desensitized, pair.desensitized) << "step " << step;
    ASSERT_EQ(store.record_of(view) != nullptr, pair.record) << "step " << step;
    if (step % 1000 == 0) {
      for (object_id object = 0; object < objects; ++object) {
        std::vector<object_id> expected;
        for (const auto& [pair_key, state] : model) {
          const object_id other = pair_key.first == object ? pair_key.second : pair_key.first;
          if (state.open && (pair_key.first == object || pair_key.second == object) &&
              driving.count(object) == 0 && driving.count(other) == 0) {
            expected.push_back(other);
          }
        }
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(active_partners(store, object), expected) << "step " << step;
      }
    }
  }
}
}  // namespace
}  // namespace vela
