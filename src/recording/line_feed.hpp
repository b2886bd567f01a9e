#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "base/handover.hpp"
#include "files/byte_source.hpp"
#include "files/line_reader.hpp"
#include "recording/fed_line.hpp"
#include "recording/recording_counts.hpp"
#include "site/site.hpp"

namespace vela {
// The lines of a stretch of a recording: those the replay takes, and the counts of all.
struct line_batch {
  std::vector<fed_line> lines;
  recording_counts counts;
  std::exception_ptr failure;  // reading stopped after these lines: what it threw
};

// A recording read, split and parsed ahead of the replay, in bounded batches: on a thread of its
// own when there is a second core for it, so that a run costs about the larger of reading and
// replaying rather than their sum; inline otherwise. Either way the replay gets the same lines in
// the same order, and a failure of reading in its turn, after the lines before it.
class line_feed {
 public:
  // Reads _source through buffers of _buffer_bytes; _threaded: on another thread. The source and
  // the site must outlive the feed.
  line_feed(byte_source& _source, std::size_t _buffer_bytes, const site& _site, bool _threaded);
  line_feed(const line_feed&) = delete;
  line_feed& operator=(const line_feed&) = delete;
  ~line_feed();

  // The next batch, valid until the next call; nullptr after the last. Rethrows what reading
  // threw, once the lines read before it have been handed out.
  const line_batch* next();
  // The counts of the batches handed out so far: of the whole recording after the last.
  const recording_counts& counts() const { return m_counts; }

  // Whether this process may use a second core.
  static bool second_core_available();

 private:
  static constexpr std::size_t batches_in_flight = 4;

  // Fills _batch with the next lines; false when the recording had none left.
  bool fill(line_batch& _batch);
  void read_ahead();  // the reading thread
  void stop();

  line_reader m_reader;
  const site& m_site;
  std::uint64_t m_lines_read = 0;  // by the reading side
  recording_counts m_counts;       // by the side batches are handed to
  bool m_ended = false;

  // Inline: one batch, refilled on every call.
  line_batch m_inline;
  // Threaded: batches go round between the reading thread and the replay.
  std::unique_ptr<handover<line_batch>> m_batches;
  line_batch* m_handed_out = nullptr;  // given back at the next call
  std::thread m_thread;
};
}  // namespace vela
