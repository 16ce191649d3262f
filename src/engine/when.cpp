#include "engine/when.hpp"

#include "text/unicode.hpp"

namespace toln {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

// The first position of a two-byte operator outside single and double
// quotes; a quote left open hides everything after it.
std::size_t find_top_level(std::string_view text, std::string_view op) {
  bool in_single = false;
  bool in_double = false;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      if (!in_double) in_single = !in_single;
    } else if (c == '"') {
      if (!in_single) in_double = !in_double;
    } else if (!in_single && !in_double && c == op[0] && text[i + 1] == op[1]) {
      return i;
    }
  }
  return kNotFound;
}

std::string_view strip_all(std::string_view text, char quote) {
  while (!text.empty() && text.front() == quote) text.remove_prefix(1);
  while (!text.empty() && text.back() == quote) text.remove_suffix(1);
  return text;
}

bool eval_comparison_or_name(std::string_view text, const FactTable& facts) {
  bool equals = false;
  std::size_t at = find_top_level(text, "!=");
  if (at == kNotFound) {
    at = find_top_level(text, "==");
    equals = true;
  }
  if (at == kNotFound) {
    const auto fact = facts.find(text);
    if (fact == facts.end()) return false;
    return !(fact->second.empty() || fact->second == "0" || fact->second == "false");
  }
  const std::string_view key = trim_white(text.substr(0, at));
  const std::string_view value = strip_all(strip_all(trim_white(text.substr(at + 2)), '\''), '"');
  const auto fact = facts.find(key);
  if (fact == facts.end()) return false;
  return (fact->second == value) == equals;
}

}  // namespace

bool eval_when(std::string_view condition, const FactTable& facts) {
  // Right-hand sides and "!" operands are taken in this loop; only left-hand
  // sides recurse. Each step leaves a text that begins outside any quote, so
  // an operator the search did not find in the whole text is not in what is
  // left of it either: searching again would make a long chain of "&&" or
  // "!" cost the square of its length.
  bool negated = false;
  bool may_hold_or = true;
  bool may_hold_and = true;
  std::string_view text = condition;
  for (;;) {
    text = trim_white(text);
    if (may_hold_or) {
      if (const std::size_t at = find_top_level(text, "||"); at != kNotFound) {
        if (eval_when(text.substr(0, at), facts)) return !negated;
        text = text.substr(at + 2);
        continue;
      }
      may_hold_or = false;
    }
    if (may_hold_and) {
      if (const std::size_t at = find_top_level(text, "&&"); at != kNotFound) {
        if (!eval_when(text.substr(0, at), facts)) return negated;
        text = text.substr(at + 2);
        continue;
      }
      may_hold_and = false;
    }
    if (text.starts_with('!')) {
      negated = !negated;
      text.remove_prefix(1);
      continue;
    }
    return eval_comparison_or_name(text, facts) != negated;
  }
}

}  // namespace toln
