#pragma once
// The page of vela-report: a fixed skeleton, then the events in compact columns as they are
// read, then the trackable objects (they come last in a result), then the script that draws
// the page from them in the browser. Nothing per event stays in memory.

#include <boost/optional.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/site_time.hpp"
#include "common/zones.hpp"
#include "report/floor_plan.hpp"
#include "results/result_reader.hpp"

namespace vela::report {
struct page_options {
  std::string title;
  std::string source;                           // the input as the page names it
  std::string generator;                        // "vela-report 1.0.0"
  tools::site_clock clock;                      // site time
  boost::optional<std::uint32_t> threshold_mm;  // as given: the result does not hold it
  const tools::zone_map* zones = nullptr;       // each event's zones go in the page
  const floor_plan* plan = nullptr;
};

// A file the page was made from, as its provenance lists it.
struct input_file {
  std::string role;  // "result", "zones" or "floor plan"
  std::string name;  // as the page names it
  std::string via;   // "file", "standard input" (a file redirected) or "pipe"
  boost::optional<std::uint64_t> bytes;
  boost::optional<std::int64_t> modified_ms;  // Unix time; none for a pipe
};

// What the page was made from and when; the results first, in the order they were read (the
// index of each event's result), then the zones file and the floor plan.
struct provenance {
  std::vector<input_file> inputs;
  std::int64_t made_ms = 0;
};

class page_writer {
 public:
  // Writes the beginning of the page.
  page_writer(std::ostream& _out, page_options _options);

  // The events that follow come from the result of this index, from 0 in the order read.
  void begin_result(std::uint32_t _index);
  // Throws std::runtime_error for a value beyond what the page can show exactly (a time
  // beyond some 30,000 years, coordinates or distances beyond 10^15 mm).
  void add_event(const results::event& _event);
  void add_trackable(const results::trackable& _trackable);
  // The form of the result just read, once it is known.
  void end_result(results::form _form);
  // The marks of the events read so far, and the zones that hold them.
  const tools::mark_survey& marks() const { return m_marks; }
  // Writes the rest of the page, with _warnings of its inputs shown at the top. Errors of the
  // stream are left to the caller to check.
  void finish(const provenance& _provenance, const std::vector<std::string>& _warnings = {});

 private:
  std::uint32_t index_of(const std::string& _uid);
  void write_chunk();

  std::ostream& m_out;
  page_options m_options;
  std::vector<std::string> m_columns;
  std::size_t m_chunk_events = 0;
  std::size_t m_events = 0;
  std::int64_t m_previous_start_ms = 0;
  std::unordered_map<std::string, std::uint32_t> m_index_of_uid;
  std::vector<std::string> m_uids;  // in the order first met
  std::vector<std::string> m_names;
  std::vector<std::string> m_categories;
  std::vector<bool> m_listed;  // in "trackableObjects"
  // With zones: the distinct sets of zones events lie in, the empty set first.
  std::map<std::vector<std::uint32_t>, std::uint32_t> m_zone_sets;
  std::vector<std::uint32_t> m_zones_of_event;  // reused for every event
  tools::mark_survey m_marks;
  std::uint32_t m_result = 0;   // the result being read
  std::size_t m_documents = 0;  // results that were documents, and arrays
  std::size_t m_arrays = 0;
  std::int64_t m_first_ms = 0;  // with any event: the earliest start and latest end read
  std::int64_t m_last_ms = 0;
};
}  // namespace vela::report
