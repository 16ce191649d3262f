#pragma once
// Small helpers shared by the handler tests: building resources, reading
// results and files.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "model/bundle.hpp"
#include "resources/handler.hpp"

namespace toln::testing {

inline TomlValue text(std::string s) { return TomlValue{std::move(s)}; }
inline TomlValue boolean(bool b) { return TomlValue{b}; }
inline TomlValue integer(std::int64_t i) { return TomlValue{i}; }

inline ResolvedResource make_resource(std::string type, std::string name, TomlTable props) {
  ResolvedResource r;
  r.resource_type = std::move(type);
  r.name = std::move(name);
  r.props = std::move(props);
  return r;
}

// The error's display text, or "" for a success.
template <class T>
std::string error_of(const Result<T>& result) {
  return result ? "" : display_agent_error(result.error());
}

inline std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void write_file(const std::filesystem::path& path, std::string_view content, mode_t mode = 0644) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ::chmod(path.c_str(), mode);
}

inline struct stat lstat_of(const std::filesystem::path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

inline mode_t mode_of(const std::filesystem::path& path) { return lstat_of(path).st_mode & 07777; }

// The names in a directory, sorted.
inline std::vector<std::string> dir_names(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace toln::testing
