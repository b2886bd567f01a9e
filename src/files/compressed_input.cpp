#include "files/compressed_input.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <isa-l/igzip_lib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "base/interruption.hpp"
#include "exception.hpp"

namespace vela {
namespace {
constexpr std::size_t input_bytes = std::size_t{1} << 20;

constexpr unsigned char gzip_magic[] = {0x1f, 0x8b};
constexpr unsigned char zstd_magic[] = {0x28, 0xb5, 0x2f, 0xfd};

const char* inflate_failure(int _code) {
  switch (_code) {
    case ISAL_INVALID_BLOCK:
      return "invalid deflate block";
    case ISAL_INVALID_SYMBOL:
      return "invalid deflate symbol";
    case ISAL_INVALID_LOOKBACK:
      return "invalid back reference";
    case ISAL_INVALID_WRAPPER:
      return "invalid gzip header";
    case ISAL_UNSUPPORTED_METHOD:
      return "unsupported compression method";
    case ISAL_INCORRECT_CHECKSUM:
      return "checksum mismatch";
    default:
      return "undecodable data";
  }
}

// A zstd frame, or a skippable frame (magic 0x184D2A50 to 0x184D2A5F, little-endian).
bool starts_zstd(const unsigned char* _at, std::size_t _size) {
  return _size >= 4 && (std::equal(zstd_magic, zstd_magic + 4, _at) ||
                        ((_at[0] & 0xF0) == 0x50 && _at[1] == 0x2A && _at[2] == 0x4D &&
                         _at[3] == 0x18));
}
}  // namespace

struct compressed_input::gzip_state {
  inflate_state state{};
  bool in_member = false;
};

struct compressed_input::zstd_state {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  std::size_t left = 0;  // the decoder's last answer: 0 when a frame is complete
  ~zstd_state() { ZSTD_freeDCtx(context); }
};

compressed_input::compressed_input() = default;
compressed_input::~compressed_input() { finish(); }

void compressed_input::open(int _fd, input_file& _file) {
  finish();
  m_fd = _fd;
  m_file_bytes = 0;
  m_end_recorded = false;
  m_file = &_file;
  m_in.assign(input_bytes, 0);
  m_in_begin = m_in_end = 0;
  m_in_offset = 0;
  m_file_ended = false;
  m_content_ended = false;
  m_content_bytes = 0;
  m_gzip.reset();
  m_zstd.reset();
  // Enough of the start to tell the format.
  while (m_in_end < 4 && fill_input()) {
  }
  const unsigned char* start = m_in.data();
  if (m_in_end >= 2 && std::equal(gzip_magic, gzip_magic + 2, start)) {
    m_format = format::gzip;
    m_gzip = std::make_unique<gzip_state>();
  } else if (starts_zstd(start, m_in_end)) {
    m_format = format::zstd;
    m_zstd = std::make_unique<zstd_state>();
    if (m_zstd->context == nullptr) {
      throw std::bad_alloc();
    }
  } else {
    m_format = format::plain;
  }
}

bool compressed_input::fill_input() {
  if (m_file_ended) {
    return false;
  }
  if (m_in_begin > 0) {  // keep what is not decompressed yet, at the front
    std::memmove(m_in.data(), m_in.data() + m_in_begin, m_in_end - m_in_begin);
    m_in_offset += m_in_begin;
    m_in_end -= m_in_begin;
    m_in_begin = 0;
  }
  if (m_in_end == m_in.size()) {
    m_in.resize(m_in.size() * 2);  // a decoder that took nothing of a full buffer wants more
  }
  for (;;) {
    const ssize_t n = ::read(m_fd, m_in.data() + m_in_end, m_in.size() - m_in_end);
    if (n > 0) {
      m_in_end += static_cast<std::size_t>(n);
      m_file_bytes += static_cast<std::uint64_t>(n);
      return true;
    }
    if (n == 0) {
      m_file_ended = true;
      return false;
    }
    if (errno != EINTR) {
      fail(std::strerror(errno), true);
    }
  }
}

std::size_t compressed_input::read(char* _buffer, std::size_t _size) {
  const std::size_t n = m_thread.joinable() ? take_ahead(_buffer, _size) : decode(_buffer, _size);
  if (!m_thread.joinable()) {
    m_file->bytes_read = m_file_bytes;
  }
  if (n == 0 && _size > 0 && !m_end_recorded) {
    m_end_recorded = true;
    m_file->reached_end(m_fd);  // the file's times as its end was read
  }
  return n;
}

std::size_t compressed_input::decode(char* _buffer, std::size_t _size) {
  if (m_content_ended || _size == 0) {
    return 0;
  }
  if (m_format == format::gzip) {
    return read_gzip(_buffer, _size);
  }
  if (m_format == format::zstd) {
    return read_zstd(_buffer, _size);
  }
  if (m_in_begin < m_in_end) {  // what telling the format read first
    const std::size_t n = std::min(_size, m_in_end - m_in_begin);
    std::memcpy(_buffer, m_in.data() + m_in_begin, n);
    m_in_begin += n;
    return n;
  }
  // Straight into the caller's buffer: plain text is not copied twice.
  for (;;) {
    const ssize_t n = m_file_ended ? 0 : ::read(m_fd, _buffer, _size);
    if (n > 0) {
      m_file_bytes += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
    }
    if (n == 0) {
      m_file_ended = true;
      m_content_ended = true;
      return 0;
    }
    if (errno != EINTR) {
      fail(std::strerror(errno), true);
    }
  }
}

void compressed_input::decompress_ahead() {
  if (m_format == format::plain || m_thread.joinable()) {
    return;
  }
  constexpr std::size_t blocks_in_flight = 4;
  m_blocks = std::make_unique<handover<block>>(blocks_in_flight);
  m_current = nullptr;
  m_current_at = 0;
  m_thread = interruption::start_thread([this] { fill_ahead(); });
}

void compressed_input::fill_ahead() {
  constexpr std::size_t block_bytes = std::size_t{1} << 20;
  while (block* next = m_blocks->take_free()) {
    next->data.resize(block_bytes);
    next->size = 0;
    next->last = false;
    next->failure = nullptr;
    try {
      while (next->size < next->data.size()) {
        const std::size_t n = decode(next->data.data() + next->size, next->data.size() - next->size);
        if (n == 0) {
          next->last = true;
          break;
        }
        next->size += n;
      }
    } catch (...) {  // handed over in its turn, after the content before it
      next->failure = std::current_exception();
    }
    next->file_bytes = m_file_bytes;
    const bool done = next->last || next->failure;
    m_blocks->hand_over(next, done);
    if (done) {
      return;
    }
  }
}

std::size_t compressed_input::take_ahead(char* _buffer, std::size_t _size) {
  for (;;) {
    // The current block is this side's alone until it is given back.
    if (m_current != nullptr && m_current_at < m_current->size) {
      const std::size_t n = std::min(_size, m_current->size - m_current_at);
      std::memcpy(_buffer, m_current->data.data() + m_current_at, n);
      m_current_at += n;
      return n;
    }
    if (m_current != nullptr) {
      if (m_current->failure) {
        std::rethrow_exception(m_current->failure);
      }
      if (m_current->last) {
        return 0;
      }
      m_blocks->give_back(m_current);
    }
    m_current = m_blocks->take_filled();
    if (m_current == nullptr) {
      return 0;
    }
    m_current_at = 0;
    m_file->bytes_read = m_current->file_bytes;
  }
}

void compressed_input::finish() {
  if (!m_thread.joinable()) {
    return;
  }
  m_blocks->stop();
  m_thread.join();
}

std::size_t compressed_input::read_gzip(char* _buffer, std::size_t _size) {
  gzip_state& gzip = *m_gzip;
  const auto out_size = static_cast<std::uint32_t>(std::min<std::size_t>(_size, UINT32_MAX));
  for (;;) {
    if (!gzip.in_member) {
      // Another member, or the end of the file.
      while (m_in_end - m_in_begin < 2 && fill_input()) {
      }
      if (m_in_begin == m_in_end) {
        if (m_content_bytes == 0) {
          fail("its gzip stream holds nothing");
        }
        m_content_ended = true;
        return 0;
      }
      if (m_in_end - m_in_begin < 2 ||
          !std::equal(gzip_magic, gzip_magic + 2, m_in.data() + m_in_begin)) {
        fail("gzip stream broken at byte " + std::to_string(offset_of(m_in.data() + m_in_begin)) +
             ": not a gzip member");
      }
      isal_inflate_init(&gzip.state);
      gzip.state.crc_flag = ISAL_GZIP;
      gzip.in_member = true;
    }
    inflate_state& state = gzip.state;
    state.next_in = m_in.data() + m_in_begin;
    state.avail_in = static_cast<std::uint32_t>(m_in_end - m_in_begin);
    state.next_out = reinterpret_cast<std::uint8_t*>(_buffer);
    state.avail_out = out_size;
    const int code = isal_inflate(&state);
    const std::size_t consumed = static_cast<std::size_t>(state.next_in - (m_in.data() + m_in_begin));
    m_in_begin += consumed;
    const std::size_t produced = out_size - state.avail_out;
    if (code < 0) {
      fail("gzip stream broken at byte " + std::to_string(offset_of(state.next_in)) + ": " +
           inflate_failure(code));
    }
    if (state.block_state == ISAL_BLOCK_FINISH) {
      gzip.in_member = false;
    }
    if (produced > 0) {
      m_content_bytes += produced;
      return produced;
    }
    if (gzip.in_member && (consumed == 0 || m_in_begin == m_in_end) && !fill_input()) {
      fail("gzip stream cut short: the file ends at byte " +
           std::to_string(offset_of(m_in.data() + m_in_end)) + " inside a member");
    }
  }
}

std::size_t compressed_input::read_zstd(char* _buffer, std::size_t _size) {
  zstd_state& zstd = *m_zstd;
  for (;;) {
    const bool at_end = m_in_begin == m_in_end && !fill_input();
    ZSTD_inBuffer in{m_in.data() + m_in_begin, m_in_end - m_in_begin, 0};
    ZSTD_outBuffer out{_buffer, _size, 0};
    if (at_end && zstd.left == 0) {
      if (m_content_bytes == 0) {
        fail("its zstd stream holds nothing");
      }
      m_content_ended = true;
      return 0;
    }
    const std::size_t left = ZSTD_decompressStream(zstd.context, &out, &in);
    m_in_begin += in.pos;
    if (ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge) {
      // Memory stays bounded: such a file (zstd --long) is decompressed by the user first.
      fail("zstd stream needs a window larger than the 128 MiB read here (made with zstd "
           "--long?); decompress it first: zstd -d --long=31 FILE");
    }
    if (ZSTD_isError(left) != 0) {
      // The decoder takes whole blocks: the fault lies in the one that starts here.
      fail("zstd stream broken in the block from byte " +
           std::to_string(offset_of(m_in.data() + m_in_begin)) + ": " + ZSTD_getErrorName(left));
    }
    zstd.left = left;
    if (out.pos > 0) {
      m_content_bytes += out.pos;
      return out.pos;
    }
    if (at_end || (in.pos == 0 && m_in_begin < m_in_end && !fill_input())) {
      // Nothing more comes: the frame the decoder is in never ends.
      fail("zstd stream cut short: the file ends at byte " +
           std::to_string(offset_of(m_in.data() + m_in_end)) + " inside a frame");
    }
  }
}

void compressed_input::fail(const std::string& _why, bool _unreadable) const {
  input_error error(m_file->name, _why, _unreadable);
  error.set_location(__FILE__, __LINE__);  // not in the throw: it returns the base class
  throw error;
}

std::uint64_t compressed_input::offset_of(const unsigned char* _at) const {
  return m_in_offset + static_cast<std::uint64_t>(_at - m_in.data());
}
}  // namespace vela
