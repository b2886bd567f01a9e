#include "simulate/site_model.hpp"

// How the model runs: every object follows a plan of timed straight segments. When a plan runs
// out, its object decides what to do next (a decision is due at the plan's end), so decisions are
// made in time order across all objects and each one sees the others as they are at that moment.
// A pool vehicle never decides: it stands in its bay until a driver books it for a trip.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <string>

namespace vela::sim {
namespace {
constexpr std::int64_t aisle_pitch_mm = 10000;
constexpr std::int64_t cross_pitch_mm = 16000;
constexpr std::int64_t margin_mm = 5000;
constexpr std::int64_t rack_face_mm = 2000;   // work spots, from the aisle's centre line
constexpr std::int64_t bench_mm = 2800;       // a vehicle in the near lane passes at about 2 m
constexpr std::int64_t first_slot_mm = 5000;  // first work spot, north of the cross aisle
constexpr std::int64_t slot_pitch_mm = 3000;
constexpr std::int64_t last_slot_margin_mm = 3000;
constexpr std::int64_t bay_spacing_mm = 2050;
constexpr std::int64_t bay_depth_mm = 3300;   // bay, north of the cross aisle's centre line
constexpr std::int64_t door_depth_mm = 2100;  // where the driver stands: 1.2 m from the vehicle
constexpr std::int64_t vehicle_lane_mm = 700;
constexpr std::int64_t person_lane_mm = 1700;
constexpr std::int64_t pulled_over_mm = 1300;
constexpr std::int64_t cab_dx_mm = 300;  // the driver's tag, relative to the vehicle's
constexpr std::int64_t cab_dy_mm = -200;
constexpr std::int64_t shuffle_speed_mm_s = 500;
constexpr std::int64_t parking_speed_mm_s = 1500;
constexpr std::int64_t step_ms = 2000;      // getting into or out of the cab
constexpr std::int64_t boarding_ms = 4000;  // the vehicle waits that long after the login
constexpr std::int64_t return_window_ms = 300000;
constexpr std::int64_t booking_reach_mm = 150000;

std::uint64_t splitmix64(std::uint64_t& _state) {
  std::uint64_t z = (_state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t _x, int _k) { return (_x << _k) | (_x >> (64 - _k)); }

std::int64_t sign(std::int64_t _v) { return (_v > 0) - (_v < 0); }

std::string numbered(char _prefix, std::size_t _number, std::size_t _width) {
  const std::string digits = std::to_string(_number);
  return _prefix + std::string(_width > digits.size() ? _width - digits.size() : 0, '0') + digits;
}

std::int64_t ceil_to_second(std::int64_t _ms) {
  const std::int64_t floor = _ms >= 0 ? _ms / 1000 : -((-_ms + 999) / 1000);
  return (floor * 1000 == _ms ? floor : floor + 1) * 1000;
}

// Evenly spaced lines across a side, centred, at least two.
std::vector<std::int64_t> grid_lines(std::int64_t _side_mm, std::int64_t _pitch_mm) {
  const std::int64_t count = std::max<std::int64_t>(2, (_side_mm - 2 * margin_mm) / _pitch_mm + 1);
  const std::int64_t first = (_side_mm - (count - 1) * _pitch_mm) / 2;
  std::vector<std::int64_t> lines;
  for (std::int64_t k = 0; k < count; ++k) {
    lines.push_back(first + k * _pitch_mm);
  }
  return lines;
}

// The lane _width mm right of an axis-parallel centre line, in the direction of travel.
std::vector<point> keep_right(const std::vector<point>& _centre, std::int64_t _width) {
  std::vector<point> line;
  for (const point& p : _centre) {
    if (line.empty() || !(line.back() == p)) {
      line.push_back(p);
    }
  }
  if (line.size() < 2) {
    return line;
  }
  const auto right = [&](std::size_t _leg) {  // right of the direction (dx, dy) is (dy, -dx)
    return point{sign(line[_leg + 1].y - line[_leg].y) * _width,
                 -sign(line[_leg + 1].x - line[_leg].x) * _width};
  };
  std::vector<point> lane{{line[0].x + right(0).x, line[0].y + right(0).y}};
  for (std::size_t k = 1; k + 1 < line.size(); ++k) {
    const point in = right(k - 1);
    const point out = right(k);
    if (in == out) {
      lane.push_back({line[k].x + out.x, line[k].y + out.y});
    } else if (in.x == -out.x && in.y == -out.y) {  // a U-turn: cross over
      lane.push_back({line[k].x + in.x, line[k].y + in.y});
      lane.push_back({line[k].x + out.x, line[k].y + out.y});
    } else {
      lane.push_back({line[k].x + in.x + out.x, line[k].y + in.y + out.y});
    }
  }
  const point last = right(line.size() - 2);
  lane.push_back({line.back().x + last.x, line.back().y + last.y});
  return lane;
}
}  // namespace

// ---- Random numbers ------------------------------------------------------------------------

rng::rng(std::uint64_t _seed) {
  for (std::uint64_t& word : m_state) {
    word = splitmix64(_seed);
  }
}

std::uint64_t rng::next() {
  const std::uint64_t result = rotl(m_state[1] * 5, 7) * 9;
  const std::uint64_t t = m_state[1] << 17;
  m_state[2] ^= m_state[0];
  m_state[3] ^= m_state[1];
  m_state[1] ^= m_state[2];
  m_state[0] ^= m_state[3];
  m_state[2] ^= t;
  m_state[3] = rotl(m_state[3], 45);
  return result;
}

std::int64_t rng::between(std::int64_t _low, std::int64_t _high) {
  // The span fits in 64 bits unsigned; the modulo bias is negligible for the spans used here.
  const std::uint64_t span = static_cast<std::uint64_t>(_high) - static_cast<std::uint64_t>(_low);
  const std::uint64_t offset =
      span == std::numeric_limits<std::uint64_t>::max() ? next() : next() % (span + 1);
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(_low) + offset);
}

bool rng::chance(std::uint32_t _per_mille) { return next() % 1000 < _per_mille; }

std::uint64_t stream_seed(std::uint64_t _seed, std::uint64_t _stream) {
  std::uint64_t state = _seed ^ (0xD1B54A32D192ED03ULL * (_stream + 1));
  return splitmix64(state);
}

std::int64_t isqrt(std::int64_t _value) {
  // The correctly rounded square root of IEEE arithmetic, then made exact in integers.
  std::int64_t root = static_cast<std::int64_t>(std::sqrt(static_cast<double>(_value)));
  while (root > 0 && root * root > _value) {
    --root;
  }
  while ((root + 1) * (root + 1) <= _value) {
    ++root;
  }
  return root;
}

// ---- Layout --------------------------------------------------------------------------------

layout::layout(std::int64_t _side_mm)
    : m_aisle_x(grid_lines(_side_mm, aisle_pitch_mm)),
      m_cross_y(grid_lines(_side_mm, cross_pitch_mm)),
      m_slots(static_cast<int>(
          (cross_pitch_mm - first_slot_mm - last_slot_margin_mm) / slot_pitch_mm + 1)) {}

void layout::add_bays(std::size_t _count, int _rounds) {
  // One pair of bays per rack block, the pairs spread over the site by a stride that visits
  // every block once. Further rounds put a pair at the block's other end (south of the next
  // cross aisle), then a pair on either side of each of those two.
  const std::int64_t columns = aisles() - 1;
  const std::int64_t cells = columns * blocks();
  std::int64_t stride = std::max<std::int64_t>(1, cells * 618 / 1000);
  while (std::gcd(stride, cells) != 1) {
    --stride;
  }
  for (int round = 0; round < std::min(_rounds, 4); ++round) {
    const bool south = round % 2 != 0;
    const std::int64_t spread = round < 2 ? bay_spacing_mm / 2 : 3 * bay_spacing_mm / 2;
    for (std::int64_t pair = 0; pair < cells && m_bays.size() < _count; ++pair) {
      const std::int64_t cell = pair * stride % cells;
      const int column = static_cast<int>(cell % columns);
      const int cross = static_cast<int>(cell / columns) + (south ? 1 : 0);
      const std::int64_t middle = (aisle_x(column) + aisle_x(column + 1)) / 2;
      const std::int64_t north = south ? -1 : 1;
      for (const std::int64_t x : {middle - spread, middle + spread}) {
        if (m_bays.size() < _count) {
          m_bays.push_back({{x, cross_y(cross) + north * bay_depth_mm},
                            {x, cross_y(cross) + north * door_depth_mm},
                            {false, cross, x}});
        }
      }
    }
  }
}

point layout::centre(const place& _place) const {
  return _place.vertical ? point{aisle_x(_place.index), _place.along}
                         : point{_place.along, cross_y(_place.index)};
}

std::vector<point> layout::route(const place& _from, const place& _to) const {
  std::vector<point> line{centre(_from)};
  if (_from.vertical == _to.vertical && _from.index == _to.index) {
    // along one aisle
  } else if (_from.vertical && _to.vertical) {
    const int cross = nearest(m_cross_y, _from.along, _to.along);
    line.push_back({aisle_x(_from.index), cross_y(cross)});
    line.push_back({aisle_x(_to.index), cross_y(cross)});
  } else if (_from.vertical) {
    line.push_back({aisle_x(_from.index), cross_y(_to.index)});
  } else if (_to.vertical) {
    line.push_back({aisle_x(_to.index), cross_y(_from.index)});
  } else {
    const int aisle = nearest(m_aisle_x, _from.along, _to.along);
    line.push_back({aisle_x(aisle), cross_y(_from.index)});
    line.push_back({aisle_x(aisle), cross_y(_to.index)});
  }
  line.push_back(centre(_to));
  return line;
}

place layout::spot(int _aisle, int _block, int _slot) const {
  return {true, _aisle, cross_y(_block) + first_slot_mm + _slot * slot_pitch_mm};
}

int layout::block_of(std::int64_t _y) const {
  const std::int64_t block = (_y - m_cross_y.front()) / cross_pitch_mm;
  return static_cast<int>(std::clamp<std::int64_t>(block, 0, blocks() - 1));
}

int layout::aisle_near(std::int64_t _x) const {
  const std::int64_t aisle = (_x - m_aisle_x.front() + aisle_pitch_mm / 2) / aisle_pitch_mm;
  return static_cast<int>(std::clamp<std::int64_t>(aisle, 0, aisles() - 1));
}

// The line crossed on the shortest way from _a to _b: any line between them, the lowest first;
// otherwise the nearer of the two outside.
int layout::nearest(const std::vector<std::int64_t>& _lines, std::int64_t _a,
                    std::int64_t _b) const {
  const std::int64_t low = std::min(_a, _b);
  const std::int64_t high = std::max(_a, _b);
  const auto above = std::lower_bound(_lines.begin(), _lines.end(), low);
  if (above != _lines.end() && *above <= high) {
    return static_cast<int>(above - _lines.begin());
  }
  if (above == _lines.end()) {
    return static_cast<int>(_lines.size()) - 1;
  }
  if (above == _lines.begin()) {
    return 0;
  }
  const auto below = above - 1;
  return static_cast<int>((low - *below <= *above - high ? below : above) - _lines.begin());
}

// ---- Site: objects and their start ---------------------------------------------------------

site_model::site_model(const site_config& _config) : m_config(_config), m_layout(_config.side_mm) {
  create_trackables();
  m_agents.resize(m_trackables.size());
  for (std::size_t index = 0; index < m_agents.size(); ++index) {
    m_agents[index].moves = rng(stream_seed(m_config.seed, index));
    if (index < m_config.persons) {
      place_person(index);
    } else {
      place_vehicle(index);
    }
  }
  for (std::size_t rank = 0; rank < m_pool.size(); ++rank) {
    start_pool(rank);
  }
  for (std::size_t index = 0; index < m_agents.size(); ++index) {
    if (m_agents[index].kind != role::pool_vehicle) {
      schedule(index);
    }
  }
}

// Persons first, then vehicles. Every other vehicle belongs to the pool that drivers book (as
// many as there are bays), or the first ones, as many as the driven share asks for and the site
// has bays; the others drive all the time, their drivers untagged. Half again as many persons as
// pool vehicles drive, taking turns. Some pool vehicles list their usual driver as a no-alarm
// partner, and one bay pair in three is a no-alarm vehicle pair.
void site_model::create_trackables() {
  const std::size_t persons = m_config.persons;
  const std::size_t vehicles = m_config.vehicles;
  const std::size_t width =
      std::max<std::size_t>(4, std::to_string(std::max(persons, vehicles)).size());
  if (m_config.driven_ppm < 0) {
    m_layout.add_bays((vehicles + 1) / 2);
  } else {  // rounded to the nearest vehicle
    const auto ppm = static_cast<std::uint64_t>(m_config.driven_ppm);
    m_layout.add_bays(static_cast<std::size_t>((vehicles * ppm + 500000) / 1000000), 4);
  }
  const std::size_t pool = m_layout.bays().size();
  m_drivers = std::min(persons, pool + pool / 2);
  for (std::size_t p = 1; p <= persons; ++p) {
    m_trackables.push_back({numbered('P', p, width), "Person " + std::to_string(p), false, {}});
  }
  std::size_t forklifts = 0;
  std::size_t tugs = 0;
  for (std::size_t v = 1; v <= vehicles; ++v) {
    const std::string name =
        v % 3 == 0 ? "Tug " + std::to_string(++tugs) : "Forklift " + std::to_string(++forklifts);
    m_trackables.push_back({numbered('V', v, width), name, true, {}});
    const boost::optional<std::size_t> ranked = pool_rank(v, pool);
    if (!ranked) {
      continue;
    }
    const std::size_t rank = *ranked;
    m_pool.push_back(static_cast<int>(persons + v - 1));
    if (rank % 3 == 2 && rank < m_drivers) {
      m_trackables.back().no_alarm.push_back(m_trackables[rank].uid);
    }
    if (rank % 2 == 1 && rank / 2 % 3 == 1) {
      m_trackables.back().no_alarm.push_back(
          m_trackables[static_cast<std::size_t>(m_pool[rank - 1])].uid);
    }
  }
}

boost::optional<std::size_t> site_model::pool_rank(std::size_t _number, std::size_t _pool) const {
  const bool every_other = m_config.driven_ppm < 0;
  const std::size_t rank = every_other ? (_number - 1) / 2 : _number - 1;
  if ((every_other && (_number - 1) % 2 != 0) || rank >= _pool) {
    return boost::none;
  }
  return rank;
}

void site_model::place_person(std::size_t _index) {
  agent& person = m_agents[_index];
  person.kind = _index < m_drivers ? role::driver : role::worker;
  person.speed = person.moves.between(1100, 1400);
  person.lane = person_lane_mm + person.moves.between(-200, 200);
  person.where = random_spot(person);
  person.end = {m_layout.aisle_x(person.where.index) + spot_side(person), person.where.along};
  append_wait(person, person.moves.between(1000, 30000));
}

void site_model::place_vehicle(std::size_t _index) {
  agent& vehicle = m_agents[_index];
  const std::size_t number = _index - m_config.persons + 1;
  vehicle.lane = vehicle_lane_mm;
  vehicle.speed = number % 3 == 0 ? 3000 : 2000;  // tugs are faster
  const boost::optional<std::size_t> rank = pool_rank(number, m_pool.size());
  if (!rank) {
    vehicle.kind = role::free_vehicle;
    vehicle.where = random_spot(vehicle);
    vehicle.end = m_layout.centre(vehicle.where);
    vehicle.end.x += vehicle_lane_mm;
    append_wait(vehicle, vehicle.moves.between(1000, 20000));
    return;
  }
  vehicle.kind = role::pool_vehicle;
  vehicle.home_bay = static_cast<int>(*rank);
  vehicle.bay = vehicle.home_bay;
  const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(vehicle.bay)];
  vehicle.where = bay.access;
  vehicle.end = bay.parked;
  append_wait(vehicle, 1000);
  if (vehicle.home_bay % 3 == 2 && static_cast<std::size_t>(vehicle.home_bay) < m_drivers) {
    vehicle.owner = vehicle.home_bay;
  }
}

// The recording starts in the middle of a working day: of the first pool vehicles, one in three
// was left by its driver a moment ago (the association ended shortly before the start) and one in
// three is out on a trip (the association began before the start).
void site_model::start_pool(std::size_t _rank) {
  if (_rank >= m_drivers || _rank % 3 == 2) {
    return;
  }
  const int vehicle = m_pool[_rank];
  agent& driver = m_agents[_rank];
  agent& car = m_agents[static_cast<std::size_t>(vehicle)];
  const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(car.home_bay)];
  driver.plan.clear();
  driver.plan_end = 0;
  driver.where = bay.access;
  if (_rank % 3 == 0) {
    const std::int64_t removed_ms = -1000 * driver.moves.between(5, 120);
    const std::int64_t created_ms = removed_ms - 1000 * driver.moves.between(300, 900);
    record(vehicle, _rank, created_ms, removed_ms);
    driver.end = bay.door;
    append_wait(driver, driver.moves.between(1000, 5000));
    after_drive(driver, vehicle, removed_ms);
    return;
  }
  const std::int64_t created_ms = -1000 * driver.moves.between(20, 200);
  car.plan.clear();
  car.step = 0;
  car.plan_end = 0;
  const std::int64_t removed_ms = plan_trip(car);
  driver.end = {bay.parked.x + cab_dx_mm, bay.parked.y + cab_dy_mm};
  ride(driver, vehicle, removed_ms);
  record(vehicle, _rank, created_ms, removed_ms);
}

// ---- Site: decisions -----------------------------------------------------------------------

void site_model::decide_until(std::int64_t _t_ms) {
  while (!m_due.empty() && m_due.top().first <= _t_ms) {
    const due next = m_due.top();
    m_due.pop();
    decide(next.second, next.first);
  }
}

void site_model::decide(std::size_t _index, std::int64_t _now) {
  agent& who = m_agents[_index];
  // Every query from now on is at _now or later: the finished plan can go.
  who.plan.clear();
  who.step = 0;
  who.plan_end = _now;
  if (who.kind == role::free_vehicle) {
    decide_free_vehicle(who);
  } else {
    decide_person(_index, _now);
  }
  schedule(_index);
}

void site_model::decide_person(std::size_t _index, std::int64_t _now) {
  agent& person = m_agents[_index];
  if (person.kind == role::driver && !person.retired && _now >= person.next_drive &&
      person.moves.chance(600) && start_drive(_index, _now)) {
    return;
  }
  if (person.return_until > _now && _now >= person.return_from) {
    // Back to the vehicle just left (forgot something), if it still stands there.
    person.return_until = -1;
    const agent& car = m_agents[static_cast<std::size_t>(person.last_vehicle)];
    if (car.free_from <= _now) {
      const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(car.home_bay)];
      walk_to(person, bay.access, bay.door, person.speed);
      append_wait(person, person.moves.between(5000, 20000));
      return;
    }
  }
  plan_work(person);
}

void site_model::decide_free_vehicle(agent& _vehicle) {
  if (_vehicle.moves.chance(250)) {
    append_wait(_vehicle, _vehicle.moves.between(40000, 150000));  // a long job
    keep_stop(_vehicle);
    return;
  }
  drive_to_stop(_vehicle, 4000, 25000);
}

// The driver walks to a free pool vehicle, logs in a moment after arriving (the association
// starts at that second), gets in, and the vehicle leaves once boarded.
bool site_model::start_drive(std::size_t _driver, std::int64_t _now) {
  const int vehicle = choose_vehicle(_driver, _now);
  if (vehicle < 0) {
    return false;
  }
  agent& driver = m_agents[_driver];
  agent& car = m_agents[static_cast<std::size_t>(vehicle)];
  const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(car.home_bay)];
  walk_to(driver, bay.access, bay.door, driver.speed);
  const std::int64_t created_ms =
      ceil_to_second(driver.plan_end + driver.moves.between(1000, 3000));
  append_wait(driver, created_ms - driver.plan_end);
  append_move(driver, {bay.parked.x + cab_dx_mm, bay.parked.y + cab_dy_mm}, step_ms);
  car.plan.clear();
  car.step = 0;
  car.plan_end = _now;
  append_wait(car, created_ms + boarding_ms - _now);
  const std::int64_t removed_ms = plan_trip(car);
  ride(driver, vehicle, removed_ms);
  // Now and then a driver forgets to log out: the association never ends.
  driver.retired = driver.moves.chance(100);
  record(vehicle, _driver, created_ms,
         driver.retired ? boost::none : boost::optional<std::int64_t>(removed_ms));
  return true;
}

// The driver's own vehicle when it is free, otherwise the nearest free one within reach.
int site_model::choose_vehicle(std::size_t _driver, std::int64_t _now) const {
  const agent& driver = m_agents[_driver];
  int best = -1;
  std::int64_t best_distance = booking_reach_mm;
  for (const int vehicle : m_pool) {
    const agent& car = m_agents[static_cast<std::size_t>(vehicle)];
    if (car.free_from > _now) {
      continue;
    }
    if (car.owner >= 0 && static_cast<std::size_t>(car.owner) == _driver) {
      return vehicle;
    }
    const point& parked = m_layout.bays()[static_cast<std::size_t>(car.home_bay)].parked;
    const std::int64_t distance =
        std::abs(parked.x - driver.end.x) + std::abs(parked.y - driver.end.y);
    if (distance < best_distance) {
      best = vehicle;
      best_distance = distance;
    }
  }
  return best;
}

// Two to four legs with a stop after each, then back into the home bay. Returns the logout time
// (whole seconds, a few seconds after parking).
std::int64_t site_model::plan_trip(agent& _vehicle) {
  const std::int64_t legs =
      _vehicle.moves.between(std::max<std::int64_t>(1, m_config.trip_legs - 1), m_config.trip_legs + 1);
  for (std::int64_t leg = 0; leg < legs; ++leg) {
    drive_to_stop(_vehicle, 5000, 25000);
  }
  const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(_vehicle.home_bay)];
  walk_to(_vehicle, bay.access, boost::none, _vehicle.speed);
  append_path(_vehicle, {bay.parked}, parking_speed_mm_s);
  _vehicle.bay = _vehicle.home_bay;
  const std::int64_t removed_ms =
      ceil_to_second(_vehicle.plan_end + _vehicle.moves.between(2000, 5000));
  _vehicle.free_from = removed_ms + step_ms + 1000;
  return removed_ms;
}

// In the cab until the logout, then out to the door.
void site_model::ride(agent& _driver, int _vehicle, std::int64_t _removed_ms) {
  const agent& car = m_agents[static_cast<std::size_t>(_vehicle)];
  const layout::bay& bay = m_layout.bays()[static_cast<std::size_t>(car.home_bay)];
  const point cab{bay.parked.x + cab_dx_mm, bay.parked.y + cab_dy_mm};
  _driver.plan.push_back({_driver.plan_end, _removed_ms, cab, cab, _vehicle});
  _driver.plan_end = _removed_ms;
  _driver.end = cab;
  append_move(_driver, bay.door, step_ms);
  append_wait(_driver, _driver.moves.between(1000, 4000));
  _driver.where = bay.access;
  after_drive(_driver, _vehicle, _removed_ms);
}

// Half the drivers come back to the vehicle within five minutes of leaving it.
void site_model::after_drive(agent& _driver, int _vehicle, std::int64_t _removed_ms) {
  _driver.last_vehicle = _vehicle;
  _driver.next_drive = _removed_ms + _driver.moves.between(60000, 240000);
  _driver.return_until = -1;
  if (_driver.moves.chance(500)) {
    _driver.return_from = _removed_ms + _driver.moves.between(40000, 120000);
    _driver.return_until = _removed_ms + return_window_ms - 30000;
  }
}

// A walk to a work spot near the last one, then one to three pauses there, shuffling along
// between them.
void site_model::plan_work(agent& _person) {
  int aisle = 0;
  int block = 0;
  where_on_grid(_person.where, aisle, block);
  aisle = static_cast<int>(
      std::clamp<std::int64_t>(aisle + _person.moves.between(-2, 2), 0, m_layout.aisles() - 1));
  block = static_cast<int>(
      std::clamp<std::int64_t>(block + _person.moves.between(-1, 1), 0, m_layout.blocks() - 1));
  const place to =
      m_layout.spot(aisle, block, static_cast<int>(_person.moves.between(0, m_layout.slots() - 1)));
  point exact{m_layout.aisle_x(aisle) + spot_side(_person), to.along};
  walk_to(_person, to, exact, _person.speed);
  const std::int64_t low = m_layout.spot(aisle, block, 0).along - 1000;
  const std::int64_t high = m_layout.spot(aisle, block, m_layout.slots() - 1).along + 1000;
  const std::int64_t pauses = _person.moves.between(1, 3);
  for (std::int64_t pause = 0; pause < pauses; ++pause) {
    append_wait(_person, _person.moves.between(8000, 40000));
    if (pause + 1 < pauses) {
      exact.y = std::clamp(exact.y + _person.moves.between(-1000, 1000), low, high);
      append_path(_person, {exact}, shuffle_speed_mm_s);
      _person.where.along = exact.y;
    }
  }
}

void site_model::where_on_grid(const place& _place, int& _aisle, int& _block) const {
  if (_place.vertical) {
    _aisle = _place.index;
    _block = m_layout.block_of(_place.along);
  } else {
    _aisle = m_layout.aisle_near(_place.along);
    _block = std::min(_place.index, m_layout.blocks() - 1);
  }
}

// Where a person stands at a work spot, across from the aisle's centre line: at the rack face
// or at a bench behind it, on either side.
std::int64_t site_model::spot_side(agent& _person) const {
  const std::int64_t offset = _person.moves.chance(350) ? rack_face_mm : bench_mm;
  return _person.moves.chance(500) ? offset : -offset;
}

place site_model::random_spot(agent& _agent) const {
  const auto aisle = static_cast<int>(_agent.moves.between(0, m_layout.aisles() - 1));
  const auto block = static_cast<int>(_agent.moves.between(0, m_layout.blocks() - 1));
  return m_layout.spot(aisle, block,
                       static_cast<int>(_agent.moves.between(0, m_layout.slots() - 1)));
}

// A free stop within three aisles and one block (a few tries, else where it is): mostly beside a
// work spot, sometimes in the middle of a cross aisle's stretch between two aisles.
place site_model::nearby_stop(agent& _vehicle) {
  int aisle = 0;
  int block = 0;
  where_on_grid(_vehicle.where, aisle, block);
  const auto low = static_cast<int>(std::max<std::int64_t>(0, aisle - 3));
  const auto high = static_cast<int>(std::min<std::int64_t>(m_layout.aisles() - 2, aisle + 3));
  const std::int64_t spots =
      static_cast<std::int64_t>(m_layout.aisles()) * m_layout.blocks() * m_layout.slots();
  for (int attempt = 0; attempt < 4; ++attempt) {
    const auto column = static_cast<int>(_vehicle.moves.between(low, std::max(low, high)));
    std::int64_t key = 0;
    place stop;
    if (_vehicle.moves.chance(300)) {
      const auto cross = static_cast<int>(
          std::clamp<std::int64_t>(block + _vehicle.moves.between(-1, 2), 0, m_layout.blocks()));
      key = spots + static_cast<std::int64_t>(cross) * m_layout.aisles() + column;
      stop = {false, cross, (m_layout.aisle_x(column) + m_layout.aisle_x(column + 1)) / 2};
    } else {
      const auto stop_block = static_cast<int>(std::clamp<std::int64_t>(
          block + _vehicle.moves.between(-1, 1), 0, m_layout.blocks() - 1));
      const auto slot = static_cast<int>(_vehicle.moves.between(0, m_layout.slots() - 1));
      const auto stop_aisle = column + static_cast<int>(_vehicle.moves.between(0, 1));
      key = (static_cast<std::int64_t>(stop_aisle) * m_layout.blocks() + stop_block) *
                m_layout.slots() +
            slot;
      stop = m_layout.spot(stop_aisle, stop_block, slot);
    }
    if (m_stops_busy_until[key] <= _vehicle.plan_end) {
      _vehicle.stop_key = key;
      return stop;
    }
  }
  return _vehicle.where;
}

// Drives to a stop, pulls over and stays for a job of _low to _high ms, keeping the stop.
void site_model::drive_to_stop(agent& _vehicle, std::int64_t _low, std::int64_t _high) {
  walk_to(_vehicle, nearby_stop(_vehicle), boost::none,
          _vehicle.speed + _vehicle.moves.between(0, 1000));
  pull_over(_vehicle);
  append_wait(_vehicle, _vehicle.moves.between(_low, _high));
  keep_stop(_vehicle);
}

void site_model::keep_stop(const agent& _vehicle) {
  if (_vehicle.stop_key >= 0) {
    m_stops_busy_until[_vehicle.stop_key] = _vehicle.plan_end;
  }
}

// ---- Site: plans ---------------------------------------------------------------------------

// A vehicle stopping for a job leaves its lane for the aisle's edge, out of the traffic's way.
void site_model::pull_over(agent& _vehicle) {
  const point centre = m_layout.centre(_vehicle.where);
  const std::int64_t dx = _vehicle.end.x - centre.x;
  const std::int64_t dy = _vehicle.end.y - centre.y;
  if (std::abs(dx) + std::abs(dy) == _vehicle.lane) {
    append_path(_vehicle,
                {{centre.x + dx * pulled_over_mm / _vehicle.lane,
                  centre.y + dy * pulled_over_mm / _vehicle.lane}},
                shuffle_speed_mm_s);
  }
}

// Along the aisles, keeping right, to _to; then to _exact when given (a work spot at the rack
// face, a bay's door). A vehicle in a bay first backs straight out onto the aisle.
void site_model::walk_to(agent& _agent, const place& _to, boost::optional<point> _exact,
                         std::int64_t _speed) {
  std::vector<point> centre;
  const bool from_bay = _agent.bay >= 0;
  if (from_bay) {
    centre.push_back(m_layout.bays()[static_cast<std::size_t>(_agent.bay)].parked);
  }
  const std::vector<point> route = m_layout.route(_agent.where, _to);
  centre.insert(centre.end(), route.begin(), route.end());
  std::vector<point> lane = keep_right(centre, _agent.lane);
  if (from_bay && lane.size() > 1) {
    lane.erase(lane.begin());
  }
  if (_exact) {
    lane.push_back(*_exact);
  }
  append_path(_agent, lane, _speed);
  _agent.where = _to;
  _agent.bay = -1;
}

void site_model::append_path(agent& _agent, const std::vector<point>& _points,
                             std::int64_t _speed) {
  for (const point& to : _points) {
    if (to == _agent.end) {
      continue;
    }
    const std::int64_t dx = to.x - _agent.end.x;
    const std::int64_t dy = to.y - _agent.end.y;
    const std::int64_t length = isqrt(dx * dx + dy * dy);
    append_move(_agent, to, std::max<std::int64_t>(1, (length * 1000 + _speed - 1) / _speed));
  }
}

void site_model::append_move(agent& _agent, const point& _to, std::int64_t _ms) {
  _agent.plan.push_back({_agent.plan_end, _agent.plan_end + _ms, _agent.end, _to, -1});
  _agent.plan_end += _ms;
  _agent.end = _to;
}

void site_model::append_wait(agent& _agent, std::int64_t _ms) {
  if (_ms > 0) {
    append_move(_agent, _agent.end, _ms);
  }
}

// Keeps an association that starts before the recording ends; its end only when that is inside
// the recording too (otherwise it is still running when the recording stops).
void site_model::record(int _vehicle, std::size_t _driver, std::int64_t _created_ms,
                        boost::optional<std::int64_t> _removed_ms) {
  const std::int64_t end_s = m_config.start_s + ceil_to_second(m_config.duration_ms) / 1000;
  association_record association;
  association.vehicle_uid = m_trackables[static_cast<std::size_t>(_vehicle)].uid;
  association.driver_uid = m_trackables[_driver].uid;
  association.created_s = m_config.start_s + _created_ms / 1000;  // whole seconds
  if (association.created_s >= end_s) {
    return;
  }
  if (_removed_ms && m_config.start_s + *_removed_ms / 1000 < end_s) {
    association.removed_s = m_config.start_s + *_removed_ms / 1000;
  }
  m_associations.push_back(std::move(association));
}

void site_model::schedule(std::size_t _index) { m_due.push({m_agents[_index].plan_end, _index}); }

// ---- Site: queries -------------------------------------------------------------------------

point site_model::position_at(std::size_t _index, std::int64_t _t_ms) {
  agent& who = m_agents[_index];
  if (who.plan.empty()) {
    return who.end;
  }
  while (who.step + 1 < who.plan.size() && who.plan[who.step].t1 <= _t_ms) {
    ++who.step;
  }
  const segment& now = who.plan[who.step];
  if (now.ride >= 0) {
    const point car = position_at(static_cast<std::size_t>(now.ride), _t_ms);
    return {car.x + cab_dx_mm, car.y + cab_dy_mm};
  }
  if (_t_ms >= now.t1) {
    return now.to;
  }
  if (_t_ms <= now.t0) {
    return now.from;
  }
  const std::int64_t done = _t_ms - now.t0;
  const std::int64_t total = now.t1 - now.t0;
  return {now.from.x + (now.to.x - now.from.x) * done / total,
          now.from.y + (now.to.y - now.from.y) * done / total};
}

std::vector<association_record> site_model::take_associations() {
  std::vector<association_record> taken;
  taken.swap(m_associations);
  return taken;
}

int site_model::zone_of(const point& _position) const { return m_layout.block_of(_position.y) + 1; }
}  // namespace vela::sim
