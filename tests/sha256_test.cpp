// SHA-256 through libcrypto: the published examples of FIPS 180-2, whole and in pieces of every
// size around a block, and a hash that starts anew after its digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "base/sha256.hpp"

namespace vela {
namespace {
const struct {
  std::string message;
  const char* digest;
} examples[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256Test, GivesThePublishedDigestsWholeAndInPieces) {
  for (const auto& example : examples) {
    SCOPED_TRACE(example.message.substr(0, 60));
    sha256 whole;
    whole.update(example.message);
    EXPECT_EQ(hex(whole.final()), example.digest);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{55}, std::size_t{63},
                                    std::size_t{64}, std::size_t{65}, std::size_t{4097}}) {
      sha256 pieces;
      for (std::size_t at = 0; at < example.message.size(); at += piece) {
        pieces.update(example.message.data() + at, std::min(piece, example.message.size() - at));
      }
      EXPECT_EQ(hex(pieces.final()), example.digest) << "in pieces of " << piece;
    }
  }
}

TEST(Sha256Test, StartsAnewAfterItsDigest) {
  sha256 hash;
  hash.update("some earlier content");
  hash.final();
  hash.update(examples[1].message);
  EXPECT_EQ(hex(hash.final()), examples[1].digest);
  EXPECT_EQ(hex(hash.final()), examples[0].digest);
}
}  // namespace
}  // namespace vela
