#pragma once
// A private directory for one test object, removed with everything in it
// when the object goes: under TMPDIR when it is set, else in /dev/shm when
// that is a tmpfs with room (and not mounted noexec: fakes run from there),
// else under /tmp.

#include <filesystem>
#include <string_view>

namespace toln::testing {

class TempDir {
 public:
  // "<that directory>/<prefix>.XXXXXX", canonical. Throws when it cannot be
  // made.
  explicit TempDir(std::string_view prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace toln::testing
