#include "host/sha256.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

TEST(ContentDigest, Sha256InLowercaseHex) {
  EXPECT_EQ(content_digest(""), "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(content_digest("abc"), "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace toln
