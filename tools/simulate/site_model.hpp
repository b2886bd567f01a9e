#pragma once

// The simulated site behind vela-simulate: a grid of aisles with work spots and parking bays,
// persons walking between work spots, vehicles driving along the aisles, and drivers who take a
// parked vehicle for a trip. Everything is integer arithmetic on a seeded generator, so the same
// configuration always moves every object the same way. Times are ms since the recording start,
// lengths mm, speeds mm/s.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/optional.hpp>

namespace vela::sim {
// xoshiro256** seeded through splitmix64: the same numbers on every platform and library.
class rng {
 public:
  explicit rng(std::uint64_t _seed);
  std::uint64_t next();
  // Uniform in [_low, _high], both included; _low <= _high.
  std::int64_t between(std::int64_t _low, std::int64_t _high);
  // True with probability _per_mille / 1000.
  bool chance(std::uint32_t _per_mille);

 private:
  std::uint64_t m_state[4];
};

// The seed of an independent generator: stream _stream of the run seeded with _seed.
std::uint64_t stream_seed(std::uint64_t _seed, std::uint64_t _stream);

// Integer square root, rounded down; _value >= 0.
std::int64_t isqrt(std::int64_t _value);

struct point {
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool operator==(const point& _other) const { return x == _other.x && y == _other.y; }
};

// A place on the aisle network: on vertical aisle `index` at y = `along`, or on cross aisle
// `index` at x = `along`.
struct place {
  bool vertical = true;
  int index = 0;
  std::int64_t along = 0;
};

// The fixed geometry: vertical aisles every 10 m, cross aisles every 16 m, work spots at the rack
// faces along the vertical aisles, pairs of parking bays north of the cross aisles. The number of
// aisles grows with the side of the site; their spacing does not, so the density of objects is
// the caller's choice.
class layout {
 public:
  struct bay {
    point parked;  // where a vehicle stands in it
    point door;    // where its driver gets in and out
    place access;  // the cross-aisle place in front of it
  };

  explicit layout(std::int64_t _side_mm);

  point centre(const place& _place) const;
  // The centre line from _from to _to along the aisles: axis-parallel legs, corners included.
  std::vector<point> route(const place& _from, const place& _to) const;
  // Work spot _slot of block _block (between cross aisles _block and _block + 1) on aisle _aisle.
  place spot(int _aisle, int _block, int _slot) const;
  int aisles() const { return static_cast<int>(m_aisle_x.size()); }
  int blocks() const { return static_cast<int>(m_cross_y.size()) - 1; }
  int slots() const { return m_slots; }
  // The block a y falls into, and the aisle nearest to an x.
  int block_of(std::int64_t _y) const;
  int aisle_near(std::int64_t _x) const;
  std::int64_t aisle_x(int _aisle) const { return m_aisle_x[static_cast<std::size_t>(_aisle)]; }
  std::int64_t cross_y(int _cross) const { return m_cross_y[static_cast<std::size_t>(_cross)]; }
  // Adds up to _count parking bays: pairs 2050 mm apart (parked neighbours hover around a
  // 2000 mm threshold), one pair per rack block in each of up to four rounds (_rounds), the
  // pairs spread over the site.
  void add_bays(std::size_t _count, int _rounds = 1);
  const std::vector<bay>& bays() const { return m_bays; }

 private:
  int nearest(const std::vector<std::int64_t>& _lines, std::int64_t _a, std::int64_t _b) const;

  std::vector<std::int64_t> m_aisle_x;
  std::vector<std::int64_t> m_cross_y;
  int m_slots = 0;
  std::vector<bay> m_bays;
};

struct site_config {
  std::uint32_t persons = 20;
  std::uint32_t vehicles = 10;
  std::int64_t duration_ms = 15 * 60 * 1000;
  std::int64_t side_mm = 60000;
  std::uint64_t seed = 1;
  std::int64_t start_s = 1767225600;  // seconds of the recording start
  std::int64_t trip_legs = 3;         // mean number of drives between a login and its logout
  // The share of the vehicles that drivers book, per million; below 0, every other vehicle.
  std::int64_t driven_ppm = -1;
};

// One object as the trackables file lists it.
struct trackable {
  std::string uid;
  std::string name;
  bool vehicle = false;
  std::vector<std::string> no_alarm;  // t2t_no_alarm_uid
};

// One vehicle-driver association; no removed_s when it had not ended by the recording's end or
// the driver never logged out.
struct association_record {
  std::string vehicle_uid;
  std::string driver_uid;
  std::int64_t created_s = 0;
  boost::optional<std::int64_t> removed_s;
};

class site_model {
 public:
  explicit site_model(const site_config& _config);

  const std::vector<trackable>& trackables() const { return m_trackables; }
  // Makes every decision due at or before _t_ms. Times must not decrease between calls.
  void decide_until(std::int64_t _t_ms);
  // Where object _index is at _t_ms (after decide_until(_t_ms)); per object, times must not
  // decrease between calls.
  point position_at(std::size_t _index, std::int64_t _t_ms);
  // The associations recorded since the last call, in the order they were made.
  std::vector<association_record> take_associations();
  // Zone number (from 1 to zones()) of a position: the band between two cross aisles.
  int zone_of(const point& _position) const;
  int zones() const { return m_layout.blocks(); }

 private:
  struct segment {
    std::int64_t t0 = 0;
    std::int64_t t1 = 0;
    point from;
    point to;
    int ride = -1;  // a vehicle whose position this follows (a driver in the cab)
  };
  enum class role { worker, driver, free_vehicle, pool_vehicle };
  struct agent {
    role kind = role::worker;
    rng moves{0};
    std::vector<segment> plan;
    std::size_t step = 0;
    std::int64_t plan_end = 0;   // end time of the plan: the next decision is due then
    point end;                   // where the plan ends
    place where;                 // the network place at the plan's end
    int bay = -1;                // vehicles: the bay it stands in at the plan's end
    std::int64_t stop_key = -1;  // vehicles: the stop it stands at (m_stops_busy_until)
    std::int64_t speed = 0;      // persons: walking speed; vehicles: the slowest driving speed
    std::int64_t lane = 0;       // how far right of the centre line it keeps
    // Pool vehicles: the home bay, the time from which it is free; owner: its driver's index.
    int home_bay = -1;
    std::int64_t free_from = 0;
    int owner = -1;
    // Drivers: when they may drive again, whether they forgot a logout, where to come back to.
    std::int64_t next_drive = 0;
    bool retired = false;
    int last_vehicle = -1;
    std::int64_t return_from = 0;
    std::int64_t return_until = -1;
  };

  void create_trackables();
  // The rank in the pool of vehicle number _number (from 1), when it is a pool vehicle.
  boost::optional<std::size_t> pool_rank(std::size_t _number, std::size_t _pool) const;
  void place_person(std::size_t _index);
  void place_vehicle(std::size_t _index);
  void start_pool(std::size_t _rank);
  void decide(std::size_t _index, std::int64_t _now);
  void decide_person(std::size_t _index, std::int64_t _now);
  void decide_free_vehicle(agent& _vehicle);
  bool start_drive(std::size_t _driver, std::int64_t _now);
  int choose_vehicle(std::size_t _driver, std::int64_t _now) const;
  std::int64_t plan_trip(agent& _vehicle);
  void ride(agent& _driver, int _vehicle, std::int64_t _removed_ms);
  void after_drive(agent& _driver, int _vehicle, std::int64_t _removed_ms);
  void plan_work(agent& _person);
  void where_on_grid(const place& _place, int& _aisle, int& _block) const;
  std::int64_t spot_side(agent& _person) const;
  place random_spot(agent& _agent) const;
  place nearby_stop(agent& _vehicle);
  void drive_to_stop(agent& _vehicle, std::int64_t _low, std::int64_t _high);
  void keep_stop(const agent& _vehicle);
  void pull_over(agent& _vehicle);
  void walk_to(agent& _agent, const place& _to, boost::optional<point> _exact, std::int64_t _speed);
  void append_path(agent& _agent, const std::vector<point>& _points, std::int64_t _speed);
  void append_move(agent& _agent, const point& _to, std::int64_t _ms);
  void append_wait(agent& _agent, std::int64_t _ms);
  void record(int _vehicle, std::size_t _driver, std::int64_t _created_ms,
              boost::optional<std::int64_t> _removed_ms);
  void schedule(std::size_t _index);

  site_config m_config;
  layout m_layout;
  std::vector<trackable> m_trackables;  // persons first, then vehicles
  std::vector<agent> m_agents;          // same order
  std::vector<int> m_pool;              // agent indexes of the pool vehicles, by rank
  std::size_t m_drivers = 0;            // persons 0 .. m_drivers - 1 drive
  // Decisions due, earliest first; ties by agent index, so the order is fixed.
  using due = std::pair<std::int64_t, std::size_t>;
  std::priority_queue<due, std::vector<due>, std::greater<due>> m_due;
  std::vector<association_record> m_associations;
  // Vehicle stops (work spots by aisle, block and slot; then the cross aisles' stretches), and
  // until when a vehicle stands there. Only looked up, never walked: hash order does not matter.
  std::unordered_map<std::int64_t, std::int64_t> m_stops_busy_until;
};
}  // namespace vela::sim
