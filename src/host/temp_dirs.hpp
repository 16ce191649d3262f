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

// A new empty directory "{prefix}-{pid}-{nanos}-{attempt}" with mode 0700 in
// TMPDIR (else "/tmp").
Result<TempDirGuard> make_temp_dir(std::string_view prefix);

// The path of name in the system temporary directory (TMPDIR, else "/tmp"),
// without a doubled slash under a TMPDIR that ends in one.
std::string temp_dir_entry(std::string_view name);

}  // namespace toln
