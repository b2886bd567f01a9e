#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "base/handover.hpp"
#include "files/line_reader.hpp"
#include "site/site.hpp"
#include "timestamp.hpp"

namespace vela {
// What a pass over a recording counted of its lines: enough to tell a recording whose result
// would be no result.
struct recording_counts {
  std::uint64_t lines_read = 0;
  std::uint64_t non_empty_lines = 0;
  std::uint64_t position_lines = 0;  // lines that pass the line rules, on the site or not
  std::uint64_t site_lines = 0;      // position lines naming an object of the site
  bool carriage_returns_alone = false;  // the first line passes the rules with a CR inside

  // Of the first line, when it passes the line rules.
  static bool ends_in_carriage_returns_alone(std::string_view _first_line);
  recording_counts& operator+=(const recording_counts& _more);
};

// One position line of an object of the site, as the replay takes it.
struct fed_line {
  vela::timestamp timestamp;
  std::int32_t x = 0;  // mm
  std::int32_t y = 0;
  object_id id = no_object;
};

// The lines of a stretch of the position file: those the replay takes, and the counts of all.
struct line_batch {
  std::vector<fed_line> lines;
  recording_counts counts;
  std::uint64_t file_bytes_read = 0;  // at its end, for the progress line
  std::exception_ptr failure;          // reading stopped after these lines: what it threw
};

// The position file read, decompressed, split and parsed ahead of the replay, in bounded
// batches: on a thread of its own when there is a second core for it, so that a run costs about
// the larger of reading and replaying rather than their sum; inline otherwise. Either way the
// replay gets the same lines in the same order, and a failure of reading in its turn, after the
// lines before it.
class line_feed {
 public:
  // _threaded: read on another thread. The reader and the site must outlive the feed.
  line_feed(line_reader& _reader, const site& _site, bool _threaded);
  line_feed(const line_feed&) = delete;
  line_feed& operator=(const line_feed&) = delete;
  ~line_feed();

  // The next batch, valid until the next call; nullptr after the last. Rethrows what reading
  // threw, once the lines read before it have been handed out.
  const line_batch* next();

  // Whether this process may use a second core.
  static bool second_core_available();

 private:
  static constexpr std::size_t batches_in_flight = 4;

  // Fills _batch with the next lines; false when the file had none left.
  bool fill(line_batch& _batch);
  void read_ahead();  // the reading thread
  void stop();

  line_reader& m_reader;
  const site& m_site;
  std::uint64_t m_lines_read = 0;
  bool m_ended = false;

  // Inline: one batch, refilled on every call.
  line_batch m_inline;
  // Threaded: batches go round between the reading thread and the replay.
  std::unique_ptr<handover<line_batch>> m_batches;
  line_batch* m_handed_out = nullptr;  // given back at the next call
  std::thread m_thread;
};
}  // namespace vela
