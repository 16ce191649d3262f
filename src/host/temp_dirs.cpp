#include "host/temp_dirs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace toln {

// remove_all never follows a symbolic link: a link that an unpacked archive
// left pointing outside is removed itself, not its target.
TempDirGuard::~TempDirGuard() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir_entry(std::string_view name) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string path = tmpdir && *tmpdir ? tmpdir : "/tmp";
  if (!path.ends_with('/')) path += '/';
  return path.append(name);
}

Result<TempDirGuard> make_temp_dir(std::string_view prefix) {
  const std::string pid = std::to_string(::getpid());
  for (int attempt = 0; attempt < 64; ++attempt) {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const long long nanos = since_epoch.count() < 0 ? 0 : std::chrono::nanoseconds(since_epoch).count() % 1000000000;
    const std::string path =
        temp_dir_entry(std::string(prefix) + "-" + pid + "-" + std::to_string(nanos) + "-" + std::to_string(attempt));
    if (::mkdir(path.c_str(), 0700) == 0) return TempDirGuard(path);
    if (errno != EEXIST) {
      return AgentError::resource("failed to create temp dir " + path + ": " + os_error_text(errno));
    }
  }
  return AgentError::resource("failed to create a unique temp dir after 64 attempts");
}

}  // namespace toln
