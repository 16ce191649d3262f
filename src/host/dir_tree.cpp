#include "host/dir_tree.hpp"

#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace toln {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

std::optional<struct stat> stat_path(const std::string& path) {
  struct stat st {};
  if (has_nul(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

int create_dir_all(const std::string& path) {
  if (path.empty()) return 0;
  if (has_nul(path)) return EINVAL;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return error ? error.value() : 0;
}

bool is_root_directory(const std::string& path) {
  std::error_code error;
  if (has_nul(path) || std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return false;
  return std::filesystem::canonical(path, error) == std::filesystem::path("/");
}

int remove_file(const std::string& path) {
  if (has_nul(path)) return EINVAL;
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace toln
