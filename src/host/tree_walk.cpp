#include "host/tree_walk.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/dir_listing.hpp"
#include "host/unique_fd.hpp"

namespace toln {
namespace {

constexpr std::size_t kOpenLevels = 16;

// The first failure of a walk, which goes on past it.
class FirstFailure {
 public:
  explicit FirstFailure(std::string_view context) : context_(context) {}
  std::string_view context() const { return context_; }
  void note(int errnum) {
    if (errnum != 0 && first_) first_ = AgentError::os(context_, errnum);
  }
  void note(Status status) {
    if (!status && first_) first_ = std::move(status);
  }
  Status take() { return std::move(first_); }

 private:
  std::string_view context_;
  Status first_;
};

// A directory being walked: its descriptor and listing while it is one of
// the last entered, else (parked) its identity and the rest of its listing.
class Level {
 public:
  Level(UniqueFd dir, std::string name) : dir_(std::move(dir)), listing_(dir_.get()), name_(std::move(name)) {}

  int dir() const { return dir_.get(); }
  bool parked() const { return !dir_.valid(); }
  // Its name in the directory above.
  const std::string& name() const { return name_; }

  std::optional<std::string> next(FirstFailure& failures) {
    if (!read_ahead_.empty()) {
      std::string name = std::move(read_ahead_.front());
      read_ahead_.pop_front();
      return name;
    }
    if (!listing_) return std::nullopt;
    if (auto name = listing_->next()) return name;
    failures.note(listing_->status(failures.context()));
    listing_.reset();
    return std::nullopt;
  }

  // Closes its descriptors, keeping what the walk needs to come back.
  void park(FirstFailure& failures) {
    struct stat st {};
    if (parked()) return;
    if (::fstat(dir_.get(), &st) != 0) {
      failures.note(errno);  // it stays open
      return;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    if (listing_) {
      while (auto name = listing_->next()) read_ahead_.push_back(std::move(*name));
      failures.note(listing_->status(failures.context()));
      listing_.reset();
    }
    dir_.reset();
  }

  // Opens it again as ".." of the directory below, if that is still it.
  [[nodiscard]] int unpark(int below) {
    UniqueFd up(::openat(below, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!up.valid() || ::fstat(up.get(), &st) != 0) return errno;
    if (st.st_dev != dev_ || st.st_ino != ino_) return ENOENT;
    dir_ = std::move(up);
    return 0;
  }

 private:
  UniqueFd dir_;
  std::optional<DirListing> listing_;
  std::deque<std::string> read_ahead_;
  std::string name_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// The skeleton of both walks, depth first. visit(dir, name, failures) acts
// on an entry and hands back the directory to enter next (invalid: none);
// leave(dir, name, failures) follows once that directory is done.
template <class Visit, class Leave>
Status walk_below(int top_fd, std::string_view context, Visit visit, Leave leave) {
  FirstFailure failures(context);
  UniqueFd top(::fcntl(top_fd, F_DUPFD_CLOEXEC, 0));
  if (!top.valid()) return AgentError::os(context, errno);
  std::vector<Level> levels;
  levels.emplace_back(std::move(top), "");
  while (!levels.empty()) {
    if (auto name = levels.back().next(failures)) {
      UniqueFd below = visit(levels.back().dir(), *name, failures);
      if (!below.valid()) continue;
      if (levels.size() == static_cast<std::size_t>(kMaxTreeDepth)) {
        failures.note(ENAMETOOLONG);
        leave(levels.back().dir(), *name, failures);
        continue;
      }
      if (levels.size() >= kOpenLevels) levels[levels.size() - kOpenLevels].park(failures);
      levels.emplace_back(std::move(below), std::move(*name));
      continue;
    }
    Level done = std::move(levels.back());
    levels.pop_back();
    if (levels.empty()) break;
    if (levels.back().parked()) {
      if (const int error = levels.back().unpark(done.dir()); error != 0) {
        failures.note(error);
        break;
      }
    }
    leave(levels.back().dir(), done.name(), failures);
  }
  return failures.take();
}

}  // namespace

Status empty_directory(int dir_fd, std::string_view context) {
  const auto visit = [](int dir, const std::string& name, FirstFailure& failures) {
    // An entry gone meanwhile is as good as removed.
    if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return UniqueFd();
    if (errno != EISDIR && errno != EPERM) {
      failures.note(errno);
      return UniqueFd();
    }
    UniqueFd below(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!below.valid() && errno != ENOENT) failures.note(errno);
    return below;
  };
  const auto leave = [](int dir, const std::string& name, FirstFailure& failures) {
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) failures.note(errno);
  };
  return walk_below(dir_fd, context, visit, leave);
}

Status change_owner_below(int dir_fd, const OwnerIds& ids, std::string_view context) {
  const auto visit = [&ids](int dir, const std::string& name, FirstFailure& failures) {
    // Every change goes through the entry that was looked at, so one
    // swapped in meanwhile (a link for a directory) is never the one changed.
    UniqueFd entry(::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!entry.valid() || ::fstat(entry.get(), &st) != 0) {
      if (errno != ENOENT) failures.note(errno);
      return UniqueFd();
    }
    failures.note(change_entry_owner(entry.get(), st, ids));
    return S_ISDIR(st.st_mode) ? std::move(entry) : UniqueFd();
  };
  const auto leave = [](int, const std::string&, FirstFailure&) {};
  return walk_below(dir_fd, context, visit, leave);
}

}  // namespace toln
