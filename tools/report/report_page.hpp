#pragma once
// The page of vela-report: a fixed skeleton, then the events in compact columns as they are
// read, each result's trackable objects after its events (they come last in a result), then
// the uids, then the script that draws the page from them in the browser. Nothing per event
// stays in memory; per uid, its text and the first name and category a result gave it.

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
struct page_input {
  std::string role;  // "result", "zones" or "floor plan"
  std::string name;  // as the page names it
  std::string via;   // "file", "standard input" (a file redirected) or "pipe"
  boost::optional<std::uint64_t> bytes;
  boost::optional<std::int64_t> modified_ms;  // Unix time; none for a pipe
};

// What the page was made from and when; the results first, in the order they were read (the
// index of each event's result), then the zones file and the floor plan.
struct provenance {
  std::vector<page_input> inputs;
  std::int64_t made_ms = 0;
};

// Results that name one uid differently (another name or category): the first such uid, every
// name and category it had with the first result that gave each, and how many uids differ.
struct uid_disagreement {
  struct variant {
    std::string name;
    std::string category;
    std::uint32_t result = 0;  // the index of the first result that gave it
  };
  std::size_t uids = 0;  // none when 0
  std::string uid;
  std::vector<variant> variants;
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
  // Where the results read so far name a uid differently.
  const uid_disagreement& disagreement() const { return m_disagreement; }

 private:
  struct listed_object {
    std::uint32_t uid = 0;
    std::string name;
    std::string category;
  };

  std::uint32_t index_of(const std::string& _uid);
  void write_chunk();
  void compare_with_first(const listed_object& _object);
  void write_listing();

  std::ostream& m_out;
  page_options m_options;
  std::vector<std::string> m_columns;
  std::size_t m_chunk_events = 0;
  std::size_t m_events = 0;
  std::int64_t m_previous_start_ms = 0;
  std::unordered_map<std::string, std::uint32_t> m_index_of_uid;
  std::vector<std::string> m_uids;  // in the order first met
  // Per uid: the name and category the first result that listed it gave, and that result's
  // index + 1 (0 while none did); the last result that listed it, + 1, and where in its list.
  std::vector<std::string> m_names;
  std::vector<std::string> m_categories;
  std::vector<std::uint32_t> m_first_listed;
  std::vector<std::uint32_t> m_last_listed;
  std::vector<std::uint32_t> m_listed_at;
  std::vector<listed_object> m_listing;  // the objects of the result being read
  uid_disagreement m_disagreement;
  std::vector<bool> m_differs;          // by uid: counted in it
  std::uint32_t m_first_differing = 0;  // the uid it names
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
