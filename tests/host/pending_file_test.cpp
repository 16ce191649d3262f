#include "host/pending_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "harness/sandbox.hpp"
#include "host/unique_fd.hpp"
#include "support/resource_testing.hpp"
#include "support/unnamed_files.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::dir_names;
using testing::error_of;
using testing::mode_of;
using testing::read_file;
using testing::refuse_unnamed_files;
using testing::Sandbox;
using testing::write_file;

// Where the file system has unnamed files, and where it has none (the file
// then made under its temporary name at once); each case in a child, since
// the second cannot be undone.
class PendingFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }
  bool unnamed() const { return GetParam(); }
  Sandbox sandbox;
};

TEST_P(PendingFileTest, PutsInPlaceOnlyTheFileItWrote) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    if (!unnamed()) {
      ASSERT_NO_FATAL_FAILURE(refuse_unnamed_files());
    }
    write_file(dir / "victim", "victim", 0600);
    const UniqueFd dir_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string target = (dir / "target").string();
    {
      auto file = PendingFile::create(dir_fd.get(), "target", target);
      ASSERT_TRUE(file) << error_of(file);
      const std::string temp = file->temp_path();
      EXPECT_TRUE(temp.starts_with((dir / ".target.toln-tmp.").string())) << temp;
      if (unnamed()) {
        EXPECT_EQ(dir_names(dir), std::vector<std::string>{"victim"}) << "no name until the commit";
      } else {
        EXPECT_EQ(mode_of(temp), 0600u);
        EXPECT_EQ(read_file(temp), "");
      }
      ASSERT_EQ(::write(file->fd(), "new", 3), 3);
      ASSERT_TRUE(file->commit());
      EXPECT_EQ(read_file(target), "new");
      EXPECT_EQ(mode_of(target), 0600u);
    }
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{"target", "victim"}));
    if (!unnamed()) {
      // The directory's owner moves the file away and puts a link in its
      // place.
      auto file = PendingFile::create(dir_fd.get(), "target", target);
      ASSERT_TRUE(file);
      fs::rename(file->temp_path(), dir / "moved");
      fs::create_symlink(dir / "victim", file->temp_path());
      EXPECT_EQ(error_of(file->commit()), "resource error: " + target + " was replaced while it was being written");
      EXPECT_EQ(read_file(dir / "victim"), "victim");
      EXPECT_EQ(mode_of(dir / "victim"), 0600u);
    }
    {
      // Dropped without a commit: nothing is left of it.
      auto dropped = PendingFile::create(dir_fd.get(), "dropped", target);
      ASSERT_TRUE(dropped);
      ASSERT_EQ(::write(dropped->fd(), "x", 1), 1);
    }
    std::vector<std::string> left = {"target", "victim"};
    if (!unnamed()) {
      // Its own name goes, another file's stays.
      auto swapped = PendingFile::create(dir_fd.get(), "swapped", target);
      ASSERT_TRUE(swapped);
      fs::rename(swapped->temp_path(), dir / "mine");
      write_file(swapped->temp_path(), "someone else's");
      left = {fs::path(swapped->temp_path()).filename(), "mine", "moved", "target", "victim"};
    }
    EXPECT_EQ(dir_names(dir), left);
  });
}

INSTANTIATE_TEST_SUITE_P(UnnamedOrNot, PendingFileTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Unnamed" : "Named"; });

// The name an unnamed file is to get at its commit is taken meanwhile (a
// directory that someone who guessed it made): the file gets another, and
// what holds the first stays.
TEST(PendingFile, ATakenTemporaryNameCostsATry) {
  TOLN_REQUIRE_SANDBOX();
  Sandbox sandbox;
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    const UniqueFd dir_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string target = (dir / "target").string();
    auto file = PendingFile::create(dir_fd.get(), "target", target);
    ASSERT_TRUE(file) << error_of(file);
    const std::string taken = file->temp_path();
    fs::create_directories(taken + "/inside");
    ASSERT_EQ(::write(file->fd(), "new", 3), 3);
    EXPECT_EQ(error_of(file->commit()), "");
    EXPECT_NE(file->temp_path(), taken);
    EXPECT_EQ(read_file(target), "new");
    EXPECT_EQ(dir_names(dir), (std::vector<std::string>{fs::path(taken).filename(), "target"}));
    EXPECT_TRUE(fs::exists(taken + "/inside"));
  });
}

}  // namespace
}  // namespace toln
