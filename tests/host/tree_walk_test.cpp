#include "host/tree_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "harness/sandbox.hpp"
#include "host/safe_path.hpp"
#include "host/unique_fd.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::dir_names;
using testing::error_of;
using testing::lstat_of;
using testing::read_file;
using testing::Sandbox;
using testing::write_file;

constexpr uid_t kUser = 65534;

// A chain of `levels` directories "s" below a new directory top, each
// directory holding a file "f" too (so each has entries left to list when
// the walk comes back to it); the deepest directory's path.
fs::path make_chain(const fs::path& top, int levels) {
  fs::create_directory(top);
  fs::path deepest = top;
  UniqueFd dir(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (int i = 0;; ++i) {
    const UniqueFd file(::openat(dir.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    EXPECT_TRUE(file.valid()) << i;
    if (i == levels) return deepest;
    EXPECT_EQ(::mkdirat(dir.get(), "s", 0755), 0) << i;
    dir = UniqueFd(::openat(dir.get(), "s", O_PATH | O_DIRECTORY | O_CLOEXEC));
    deepest /= "s";
  }
}

// The owners below the directory open as dir, counted on descriptors (a
// path as deep would be looked up again from the top for every entry):
// how many entries are the user's and how many not.
void count_owners(int dir, std::pair<int, int>& counts) {
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(::openat(dir, ".", O_RDONLY | O_CLOEXEC)), ::closedir);
  ASSERT_TRUE(listing);
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (name == "." || name == "..") continue;
    ASSERT_EQ(::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
    ++(st.st_uid == kUser ? counts.first : counts.second);
    if (!S_ISDIR(st.st_mode)) continue;
    const UniqueFd below(::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    ASSERT_NO_FATAL_FAILURE(count_owners(below.get(), counts));
  }
}

std::pair<int, int> owners_below(const fs::path& top) {
  std::pair<int, int> counts;
  const UniqueFd dir(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  count_owners(dir.get(), counts);
  return counts;
}

Status remove_path(const fs::path& path) {
  auto kept = resolve_path(path.string(), LastLink::Keep);
  if (!kept) return std::move(kept).error();
  return remove_dir_all(*kept, path.string());
}

Status change_owners(const fs::path& top) {
  const UniqueFd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return change_owner_below(dir.get(), {kUser, kUser}, "chown failed");
}

TEST(RemoveDirAll, RemovesTreesAndLinksButNoFiles) {
  testing::TempDir dir("toln-remove");
  write_file(dir.path() / "tree" / "a" / "b", "x");
  write_file(dir.path() / "target" / "keep", "keep");
  fs::create_symlink(dir.path() / "target", dir.path() / "tree" / "link");
  fs::create_symlink(dir.path() / "target", dir.path() / "link");
  write_file(dir.path() / "file", "x");
  EXPECT_EQ(error_of(remove_path(dir.path() / "tree")), "");
  EXPECT_EQ(error_of(remove_path(dir.path() / "link")), "");
  const std::string file = (dir.path() / "file").string(), missing = (dir.path() / "missing").string();
  EXPECT_EQ(error_of(remove_path(file)),
            "resource error: failed to remove " + file + ": Not a directory (os error 20)");
  EXPECT_EQ(error_of(remove_path(missing)),
            "resource error: failed to remove " + missing + ": No such file or directory (os error 2)");
  EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"file", "target"}));
  EXPECT_EQ(read_file(dir.path() / "target" / "keep"), "keep");
  // A trailing slash still names the link, not its target.
  fs::create_symlink(dir.path() / "target", dir.path() / "slashed");
  EXPECT_EQ(error_of(remove_path(dir.path().string() + "/slashed//")), "");
  EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"file", "target"}));
  EXPECT_EQ(read_file(dir.path() / "target" / "keep"), "keep");
}

// Both walks go down to the depth bound with the usual limit of 1,024
// descriptors, whatever the depth: deeper, the bound stops them first.
class TreeWalk : public ::testing::Test {
 protected:
  void SetUp() override { TOLN_REQUIRE_SANDBOX(); }

  // Runs body in a child whose descriptor limit is the usual 1,024.
  void at_default_descriptor_limit(const std::function<void()>& body) {
    sandbox.run_in_process([&] {
      const rlimit limit{1024, 1024};
      ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
      body();
    });
  }

  fs::path dir() const { return sandbox.scratch_dir(); }
  Sandbox sandbox;
};

TEST_F(TreeWalk, WalksToTheDepthBoundAtTheDefaultDescriptorLimit) {
  // The top is level 1: 1,023 directories below it are within the bound.
  for (const char* tree : {"owners-within", "removal-within"}) make_chain(dir() / tree, kMaxTreeDepth - 1);
  for (const char* tree : {"owners-beyond", "removal-beyond"}) make_chain(dir() / tree, kMaxTreeDepth);
  const std::string beyond = (dir() / "removal-beyond").string();
  at_default_descriptor_limit([&] {
    EXPECT_EQ(error_of(change_owners(dir() / "owners-within")), "");
    EXPECT_EQ(error_of(change_owners(dir() / "owners-beyond")),
              "resource error: chown failed: File name too long (os error 36)");
    EXPECT_EQ(error_of(remove_path(dir() / "removal-within")), "");
    EXPECT_EQ(error_of(remove_path(beyond)),
              "resource error: failed to remove " + beyond + ": File name too long (os error 36)");
  });
  EXPECT_EQ(owners_below(dir() / "owners-within"), std::pair(2 * kMaxTreeDepth - 1, 0));
  // The deepest directory is changed, not what is inside it.
  EXPECT_EQ(owners_below(dir() / "owners-beyond"), std::pair(2 * kMaxTreeDepth, 1));
  EXPECT_FALSE(fs::exists(dir() / "removal-within"));
  // Every file within the bound is gone, and only the directories holding
  // what is deeper are left.
  EXPECT_EQ(owners_below(beyond), std::pair(0, kMaxTreeDepth + 1));
}

// The walk comes back to a directory whose descriptors it closed through
// ".." of the one below. Moved meanwhile (here while the deepest directory
// is being opened), ".." is another directory, which must not be taken for
// it: the walk stops instead of removing or changing what is there.
TEST_F(TreeWalk, StopsWhereTheWayBackLeadsElsewhere) {
  struct Case {
    std::string name;
    std::function<Status(const fs::path&)> walk;
    std::string error;
  } cases[] = {
      {"owners", change_owners, "chown failed"},
      {"removal", remove_path, "failed to remove " + (dir() / "removal").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path deepest = make_chain(dir() / c.name, 24);
    const fs::path elsewhere = dir() / (c.name + "-elsewhere");
    write_file(elsewhere / "victim", "victim");
    // Far enough from the deepest directory to be closed when it is entered.
    const fs::path moved = dir() / c.name / "s/s/s/s";
    sandbox.run_in_process([&] {
      UniqueFd watch(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC));
      ASSERT_TRUE(watch.valid()) << "fanotify: " << std::strerror(errno);
      ASSERT_EQ(::fanotify_mark(watch.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD, deepest.c_str()), 0);
      Status walked;
      std::thread walker([&] { walked = c.walk(dir() / c.name); });
      fanotify_event_metadata event{};
      ASSERT_EQ(::read(watch.get(), &event, sizeof event), static_cast<ssize_t>(sizeof event));
      fs::rename(moved, elsewhere / "s");
      const fanotify_response allow{event.fd, FAN_ALLOW};
      EXPECT_EQ(::write(watch.get(), &allow, sizeof allow), static_cast<ssize_t>(sizeof allow));
      ::close(event.fd);
      // Closed, the watch lets every later opening through.
      watch.reset();
      walker.join();
      EXPECT_EQ(error_of(walked), "resource error: " + c.error + ": No such file or directory (os error 2)");
      EXPECT_EQ(read_file(elsewhere / "victim"), "victim");
      EXPECT_EQ(lstat_of(elsewhere / "victim").st_uid, 0u);
    });
  }
}

}  // namespace
}  // namespace toln
