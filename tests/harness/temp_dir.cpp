#include "harness/temp_dir.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace toln::testing {

TempDir::TempDir(std::string_view prefix) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = (tmpdir && *tmpdir ? std::string(tmpdir) : std::string("/tmp")) + "/";
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
