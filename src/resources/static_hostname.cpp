#include "resources/static_hostname.hpp"

#include <algorithm>
#include <cstddef>

namespace toln {
namespace {

constexpr std::size_t kMaxLength = 64;

bool allowed(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

std::optional<std::string> static_hostname_fault(std::string_view name) {
  // hostnamectl takes an empty name as "unset the static name".
  if (name.empty()) return "must not be empty";
  for (char c : name) {
    if (!allowed(c)) return "may hold only ASCII letters, digits, '-' and '.'";
  }
  if (name.size() > kMaxLength) return "must be at most 64 characters";
  if (name.starts_with('.') || name.ends_with('.')) return "must not begin or end with '.'";
  if (name.find("..") != std::string_view::npos) return "must not hold an empty label ('..')";
  for (std::size_t start = 0; start < name.size();) {
    const std::size_t end = std::min(name.find('.', start), name.size());
    if (name[start] == '-' || name[end - 1] == '-') return "must not hold a label beginning or ending with '-'";
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace toln
