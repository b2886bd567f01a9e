#pragma once
// SHA-256 of bytes given in pieces, through OpenSSL's libcrypto: what tells two inputs of the
// same content apart from two that merely look alike (a result copied into another folder).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace vela {
class sha256 {
 public:
  using digest = std::array<std::uint8_t, 32>;

  sha256();
  sha256(const sha256&) = delete;
  sha256& operator=(const sha256&) = delete;
  ~sha256();

  void update(const void* _data, std::size_t _size);
  void update(std::string_view _bytes) { update(_bytes.data(), _bytes.size()); }
  // The digest of every byte given since the start; the next update begins a new one.
  digest final();

 private:
  void start();

  evp_md_ctx_st* m_context;
};

// The digest as 64 lowercase hexadecimal digits, as sha256sum writes it.
std::string hex(const sha256::digest& _digest);
}  // namespace vela
