#pragma once
// Private temporary directories that remove themselves.

#include <string>
#include <string_view>
#include <utility>

#include "model/result.hpp"

namespace toln {

// Owns a private temporary directory; removes it with everything below it
// when it goes out of scope, ignoring errors.
class TempDirGuard {
 public:
  explicit TempDirGuard(std::string path) : path_(std::move(path)) {}
  TempDirGuard(TempDirGuard&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TempDirGuard& operator=(TempDirGuard&&) = delete;
  TempDirGuard(const TempDirGuard&) = delete;
  ~TempDirGuard();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A new empty directory "{prefix}-XXXXXX" made by mkdtemp (mode 0700 before
// the umask, the last six characters unpredictable) in TMPDIR, else "/tmp".
//
// The directory is handed to other programs by path (an interpreter, tar,
// unzip), and its name can be taken away by anyone who may rename entries
// in TMPDIR or in a directory above it: such a user could move the agent's
// directory aside and put one of their own in its place before the program
// opens what is inside. So the temporary root and every directory above it
// must belong to root (or the agent's own user) and be writable by no one
// else unless sticky; otherwise the call fails with "refusing to make
// private directories in {TMPDIR}: {directory} {belongs to uid N | can be
// written by other users and is not sticky}". A root that does not exist
// fails as mkdtemp does. An OS error is "failed to create temp dir {path}:
// {OS error}" (the template's path), errno kept.
Result<TempDirGuard> make_temp_dir(std::string_view prefix);

}  // namespace toln
