#include "base/sha256.hpp"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace vela {
sha256::sha256() : m_context(EVP_MD_CTX_new()) {
  if (m_context == nullptr) {
    throw std::bad_alloc();
  }
  start();
}

sha256::~sha256() { EVP_MD_CTX_free(m_context); }

void sha256::start() {
  if (EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available from libcrypto");
  }
}

void sha256::update(const void* _data, std::size_t _size) {
  if (_size > 0 && EVP_DigestUpdate(m_context, _data, _size) != 1) {
    throw std::runtime_error("SHA-256 failed in libcrypto");
  }
}

sha256::digest sha256::final() {
  digest out{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(m_context, out.data(), &size) != 1 || size != out.size()) {
    throw std::runtime_error("SHA-256 failed in libcrypto");
  }
  start();
  return out;
}

std::string hex(const sha256::digest& _digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * _digest.size());
  for (const std::uint8_t byte : _digest) {
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}
}  // namespace vela
