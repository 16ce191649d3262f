#include "host/foreign_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "harness/temp_dir.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::error_of;
using testing::write_file;

// Another user's entry in a directory that cannot be looked at: whether it
// is bait is not known, which is an error, never "not bait" (the entry's
// owner and mode would then be taken over).
TEST(IsBait, ADirectoryThatCannotBeLookedAtIsAnError) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  testing::TempDir dir("toln-bait");
  const std::string path = (dir.path() / "f").string();
  write_file(path, "x");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  auto entry = resolve_path(path, LastLink::Keep);
  ASSERT_TRUE(entry) << error_of(entry);
  auto known = is_bait(*entry, std::nullopt, path);
  ASSERT_TRUE(known) << error_of(known);
  EXPECT_FALSE(*known) << "a directory only root can write holds no bait";
  // A descriptor number no file is open under.
  entry->parent = UniqueFd(1 << 20);
  EXPECT_EQ(error_of(is_bait(*entry, std::nullopt, path)),
            "resource error: failed to stat " + path + ": Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace toln
