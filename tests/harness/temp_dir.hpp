#pragma once
// A private directory under TMPDIR (else "/tmp") for one test object,
// removed with everything in it when the object goes.

#include <filesystem>
#include <string_view>

namespace toln::testing {

class TempDir {
 public:
  // "<TMPDIR>/<prefix>.XXXXXX", canonical. Throws when it cannot be made.
  explicit TempDir(std::string_view prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace toln::testing
