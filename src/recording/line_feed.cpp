#include "recording/line_feed.hpp"

#include <utility>

#include "base/interruption.hpp"
#include "position.hpp"

namespace vela {
namespace {
// Lines per batch: small enough to keep memory flat and the hand-over early, large enough that
// handing over costs nothing beside the lines.
constexpr std::size_t lines_per_batch = 8192;
}  // namespace

line_feed::line_feed(byte_source& _source, std::size_t _buffer_bytes, const site& _site,
                     bool _threaded)
    : m_reader(_source, _buffer_bytes), m_site(_site) {
  if (!_threaded) {
    return;
  }
  m_batches = std::make_unique<handover<line_batch>>(batches_in_flight);
  m_thread = interruption::start_thread([this] { read_ahead(); });
}

line_feed::~line_feed() { stop(); }

bool line_feed::second_core_available() { return vela::second_core_available(); }

bool line_feed::fill(line_batch& _batch) {
  _batch.lines.clear();
  _batch.counts = recording_counts{};
  std::string_view line;
  bool any = false;
  while (_batch.lines.size() < lines_per_batch && _batch.counts.lines_read < 4 * lines_per_batch &&
         m_reader.next(line)) {
    any = true;
    ++_batch.counts.lines_read;
    ++m_lines_read;
    _batch.counts.non_empty_lines += line.empty() ? 0 : 1;
    // A malformed line, or one naming an object not on the site, is skipped without a message.
    position_view pos;
    if (m_reader.cut() || position_view::parse(line, pos).rejects()) {
      continue;
    }
    ++_batch.counts.position_lines;
    if (m_lines_read == 1) [[unlikely]] {
      _batch.counts.carriage_returns_alone = recording_counts::ends_in_carriage_returns_alone(line);
    }
    const object_id id = m_site.find(pos.obj_uid);
    if (id != no_object) {
      ++_batch.counts.site_lines;
      _batch.lines.push_back({pos.timestamp, pos.x, pos.y, id});
    }
  }
  return any;
}

const line_batch* line_feed::next() {
  if (!m_thread.joinable()) {
    if (m_inline.failure) {  // after the lines read before it, as on a thread
      m_ended = true;
      std::rethrow_exception(std::exchange(m_inline.failure, nullptr));
    }
    if (m_ended) {
      return nullptr;
    }
    try {
      m_ended = !fill(m_inline);
    } catch (...) {
      m_inline.failure = std::current_exception();
    }
    if (m_ended) {
      return nullptr;
    }
    m_counts += m_inline.counts;
    return &m_inline;
  }
  if (m_handed_out != nullptr) {
    line_batch* done = m_handed_out;
    m_handed_out = nullptr;
    if (done->failure) {  // its lines were the last that could be read
      std::rethrow_exception(done->failure);
    }
    m_batches->give_back(done);
  }
  m_handed_out = m_batches->take_filled();
  if (m_handed_out != nullptr) {
    m_counts += m_handed_out->counts;
  }
  return m_handed_out;
}

void line_feed::read_ahead() {
  while (line_batch* batch = m_batches->take_free()) {
    bool more = false;
    batch->failure = nullptr;
    try {
      more = fill(*batch);
    } catch (...) {  // handed over in its turn, as the replay would have met it
      batch->failure = std::current_exception();
    }
    const bool last = !more || batch->failure;
    m_batches->hand_over(more || batch->failure ? batch : nullptr, last);
    if (last) {
      return;
    }
  }
}

void line_feed::stop() {
  if (!m_thread.joinable()) {
    return;
  }
  m_batches->stop();
  m_thread.join();
}
}  // namespace vela
