#pragma once
// vela-check's look at the three inputs of a run before vela consumes them: what the site, the
// associations and the position file hold, and what in them is worth a warning. The files are
// read and parsed by vela's own code (site loading, line reader, position line rules); this adds
// only the counting. Nothing is written.

#include <json/json.h>

#include <boost/optional.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/file_source.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"

namespace vela::check {
// A line of the position file or an entry of a JSON list (both counted from 1), and what is
// there, shown terminal-safe.
struct example {
  std::uint64_t at = 0;
  std::string text;
};

struct warning {
  std::string section;            // "trackables", "associations", "positions" or "threshold"
  std::string code;               // for scripts, e.g. "malformed-line"
  std::string message;            // for people, one line
  std::uint64_t count = 0;        // lines or entries concerned
  std::vector<example> examples;  // the first few, in file order
  Json::Value details;            // further members of the warning's JSON form, or null
};

struct uid_lines {
  std::string uid;  // terminal-safe in a report
  std::uint64_t lines = 0;
};

struct trackables_facts {
  std::uint64_t entries = 0;  // in "trackableObjects"
  std::uint64_t persons = 0;  // on the site
  std::uint64_t vehicles = 0;
};

struct associations_facts {
  std::uint64_t entries = 0;  // in "vehicle_driver_associations"
  std::uint64_t on_site = 0;  // between two objects of the site: the ones vela replays
};

struct bounding_box {
  std::int32_t x_min = 0;  // mm
  std::int32_t x_max = 0;
  std::int32_t y_min = 0;
  std::int32_t y_max = 0;
};

struct positions_facts {
  std::uint64_t lines_read = 0;
  std::uint64_t accepted = 0;  // position lines naming an object of the site: the replay's lines
  std::uint64_t malformed = 0;
  std::uint64_t unknown_object_lines = 0;  // position lines naming an object not on the site
  std::vector<uid_lines> most_frequent_unknown;
  bool unknown_counts_exact = true;  // else the counts are upper bounds
  std::uint64_t objects_seen = 0;
  std::vector<std::string> never_seen;          // uids of the site without an accepted line
  boost::optional<vela::timestamp> first_time;  // the earliest and latest accepted line
  boost::optional<vela::timestamp> last_time;
  std::uint64_t rated_objects = 0;  // objects with two lines or more at different times
  boost::optional<double> median_rate_hz;
  boost::optional<bounding_box> box;
};

struct report {
  trackables_facts trackables;
  associations_facts associations;
  positions_facts positions;
  boost::optional<std::uint32_t> threshold_mm;
  std::vector<warning> warnings;
};

// Examples kept per warning, and the most frequent unknown uids listed.
constexpr std::size_t examples_kept = 3;
constexpr std::size_t frequent_listed = 5;
constexpr std::size_t kept_text_bytes = 256;
// Association and position times at or beyond this many seconds (the year 5138) are taken for
// milliseconds: as milliseconds they fall after 1973.
constexpr std::int64_t milliseconds_look_from = 100000000000;

// Text from the inputs and the command line is shown through vela::terminal_safe, a line or a
// file name cut after shown_line_bytes, a uid or a JSON value after shown_value_bytes.
constexpr std::size_t shown_line_bytes = 200;
constexpr std::size_t shown_value_bytes = 80;

// The most frequent texts of a stream in bounded memory (the space-saving count). While at most
// _capacity distinct texts were added the counts are exact; beyond that a count may be too high
// by at most the smallest count held, and every text added more than total / _capacity times is
// still held. Of a text longer than kept_text_bytes only that many bytes are kept (and shown,
// cut); texts of the same start are told apart by a hash of the whole.
class frequent_texts {
 public:
  explicit frequent_texts(std::size_t _capacity) : m_capacity(_capacity) {}

  void add(std::string_view _text);
  // The _k texts of largest count, largest first, equal counts by text.
  std::vector<uid_lines> top(std::size_t _k) const;
  bool exact() const { return m_exact; }

 private:
  std::size_t m_capacity;
  std::vector<uid_lines> m_entries;
  std::unordered_map<std::string, std::size_t> m_index;  // text -> entry
  bool m_exact = true;
};

// The steps, in the order vela loads the inputs; each adds its facts and warnings to _report.
// The trackables document as loaded into _site: entries passed over, and no-alarm lists.
void check_trackables(const Json::Value& _document, const site& _site, report& _report);
// Streams the position file. Throws vela::exception on a read error.
void check_positions(file_source& _positions, const site& _site, report& _report);
// The association document as loaded into _site, held against the recording's time span: after
// check_positions.
void check_associations(const Json::Value& _document, const site& _site, report& _report);
// The threshold against the recording's bounding box: after check_positions.
void check_threshold(std::uint32_t _threshold_mm, report& _report);
}  // namespace vela::check
