#include "harness/temp_dir.hpp"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace toln::testing {
namespace {

constexpr unsigned long long kRoomInMemory = 2ULL << 30;

// TMPDIR when set; else /dev/shm when it is a tmpfs with room that may hold
// programs, as on most Linux machines; else /tmp. In memory, a test's files
// cost no flushes or discards of a disk, which take seconds and prove
// nothing here.
std::string temp_root() {
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && *tmpdir) return tmpdir;
  struct statfs fs {};
  struct statvfs vfs {};
  const char* shm = "/dev/shm";
  if (::statfs(shm, &fs) == 0 && fs.f_type == TMPFS_MAGIC && ::statvfs(shm, &vfs) == 0 &&
      (vfs.f_flag & ST_NOEXEC) == 0 && static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize >= kRoomInMemory) {
    return shm;
  }
  return "/tmp";
}

}  // namespace

TempDir::TempDir(std::string_view prefix) {
  std::string pattern = temp_root() + "/";
  pattern.append(prefix).append(".XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  path_ = std::filesystem::canonical(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace toln::testing
