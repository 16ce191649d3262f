#pragma once
// Bundles and report-directory helpers for the serve mode tests. The cmd
// resources only touch the sandbox's scratch directory, the agent's working
// directory there.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace toln::serve_testing {

inline std::string cmd(const std::string& name, const std::string& props, const std::string& extra = "") {
  return "[[resources]]\nresource_type = \"cmd\"\nname = \"" + name + "\"\n" + extra + "props = " + props + "\n";
}

inline std::string bundle(const std::string& resources) { return "host = \"h\"\n" + resources; }

// Changes once (creates the file "ran"), then is in place.
inline std::string touch_ran() { return bundle(cmd("make", R"~({ command = "touch ran", creates = "ran" })~")); }

inline void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file names in a directory, sorted; none when it does not exist.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  if (!std::filesystem::is_directory(dir)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Whether text has the run id's shape: "dddd-dd-ddTdd-dd-dd-ddddddddd".
inline bool looks_like_run_id(std::string_view text) {
  constexpr std::string_view shape = "0000-00-00T00-00-00-000000000";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
  }
  return true;
}

// The lines of a text, each without its line feed.
inline std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return lines;
}

inline std::size_t count_lines_starting(std::string_view text, std::string_view prefix) {
  const auto lines = lines_of(text);
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [prefix](const std::string& line) { return line.starts_with(prefix); }));
}

}  // namespace toln::serve_testing
