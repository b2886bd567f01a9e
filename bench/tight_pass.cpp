// vela-bench-tight POSITIONS TRACKABLES: the honest floor every time goal is held against. One
// thread, the least a pass over the position file can do and still know each line: the file
// read in large blocks, line ends and commas found with memchr, the integer columns converted
// by hand, the uid looked up in a hash table of views, and nothing else. It shares no code with
// vela. Prints "seconds=S lines=N known=K" on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <json/json.h>

namespace {
constexpr std::size_t block_bytes = std::size_t{4} << 20;

// Open addressing over views of the uids, a power of two at most half full.
class uid_table {
 public:
  explicit uid_table(const std::vector<std::string>& _uids) {
    std::size_t size = 16;
    while (size < 2 * _uids.size()) {
      size *= 2;
    }
    m_slots.assign(size, {});
    m_mask = size - 1;
    for (const std::string& uid : _uids) {
      std::size_t i = hash(uid) & m_mask;
      while (m_slots[i].used) {
        i = (i + 1) & m_mask;
      }
      m_slots[i] = {uid, true};
    }
  }
  bool contains(std::string_view _uid) const {
    for (std::size_t i = hash(_uid) & m_mask;; i = (i + 1) & m_mask) {
      if (!m_slots[i].used) {
        return false;
      }
      if (m_slots[i].uid == _uid) {
        return true;
      }
    }
  }

 private:
  struct slot {
    std::string_view uid;
    bool used = false;
  };
  static std::size_t hash(std::string_view _text) {  // FNV-1a, mixed at the end
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : _text) {
      h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
  std::vector<slot> m_slots;
  std::size_t m_mask = 0;
};

// A decimal field with an optional sign, converted by hand; false without a digit.
bool number(const char* _begin, const char* _end, std::int64_t& _value) {
  bool negative = false;
  if (_begin < _end && (*_begin == '-' || *_begin == '+')) {
    negative = *_begin == '-';
    ++_begin;
  }
  if (_begin == _end) {
    return false;
  }
  std::int64_t value = 0;
  for (; _begin < _end; ++_begin) {
    const unsigned digit = static_cast<unsigned char>(*_begin) - '0';
    if (digit > 9) {
      return false;
    }
    value = value * 10 + digit;
  }
  _value = negative ? -value : value;
  return true;
}

// One line: true when its eleven fields are there, its numbers convert and its uid is known.
bool known_line(const char* _begin, const char* _end, const uid_table& _uids,
                std::int64_t& _checksum) {
  const char* field = _begin;
  std::int64_t value = 0;
  std::string_view uid;
  for (int column = 1; column <= 11; ++column) {
    const char* comma =
        column == 11 ? _end : static_cast<const char*>(std::memchr(field, ',', _end - field));
    if (comma == nullptr) {
      return false;
    }
    if (column <= 3 || (column >= 5 && column <= 7)) {
      if (!number(field, comma, value)) {
        return false;
      }
      _checksum += value;  // so that the conversions are not optimised away
    } else if (column == 8) {
      uid = std::string_view(field, static_cast<std::size_t>(comma - field));
    }
    field = comma + 1;
  }
  return _uids.contains(uid);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vela-bench-tight POSITIONS TRACKABLES\n");
    return 2;
  }
  std::ifstream trackables(argv[2]);
  Json::Value document;
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), trackables, &document, &errors)) {
    std::fprintf(stderr, "%s: %s\n", argv[2], errors.c_str());
    return 1;
  }
  std::vector<std::string> uid_texts;
  for (const Json::Value& object : document["trackableObjects"]) {
    uid_texts.push_back(object["uid"].asString());
  }
  const uid_table uids(uid_texts);

  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<char> buffer(block_bytes);
  std::size_t pending = 0;  // the start of a line carried over from the block before
  std::uint64_t lines = 0;
  std::uint64_t known = 0;
  std::int64_t checksum = 0;
  for (;;) {
    if (pending == buffer.size()) {
      buffer.resize(buffer.size() * 2);
    }
    const ssize_t n = ::read(fd, buffer.data() + pending, buffer.size() - pending);
    if (n < 0) {
      std::perror(argv[1]);
      return 1;
    }
    const char* begin = buffer.data();
    const char* end = begin + pending + n;
    for (;;) {
      const char* newline = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
      if (newline == nullptr) {
        break;
      }
      ++lines;
      known += known_line(begin, newline, uids, checksum) ? 1 : 0;
      begin = newline + 1;
    }
    pending = static_cast<std::size_t>(end - begin);
    if (n == 0) {
      if (pending > 0) {  // the last line, without a newline
        ++lines;
        known += known_line(begin, end, uids, checksum) ? 1 : 0;
      }
      break;
    }
    std::memmove(buffer.data(), begin, pending);
  }
  ::close(fd);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "seconds=%.3f lines=%llu known=%llu checksum=%lld\n", seconds,
               static_cast<unsigned long long>(lines), static_cast<unsigned long long>(known),
               static_cast<long long>(checksum));
  return 0;
}
