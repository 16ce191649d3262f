#include "engine/registers.hpp"

#include <vector>

#include "model/bundle_size.hpp"

namespace toln {
namespace {

constexpr std::string_view kOpen = "__TOLN_REG_";
constexpr std::string_view kClose = "__TOLN_END__";

// The part of the text that one replacement inserted for a register.
struct Expansion {
  std::string_view name;
  std::size_t begin;
  std::size_t end;
};

// A placeholder that starts inside the expansion of its own name would be
// resolved again and again: that is where the loop stops. Texts that do not
// feed back on themselves come out whole; the size bound is only a guard
// against chains that multiply without end.
void substitute_text(std::string& text, const Registers& registers) {
  if (registers.empty()) return;
  std::vector<Expansion> expansions;
  for (;;) {
    const std::size_t open = text.find(kOpen);
    if (open == std::string::npos) return;
    const std::size_t close = text.find(kClose, open + kOpen.size());
    if (close == std::string::npos) return;
    const std::string_view name = std::string_view(text).substr(open + kOpen.size(), close - open - kOpen.size());
    const auto entry = registers.find(name);
    if (entry == registers.end()) return;

    // Text left of the first placeholder is final, except that a replacement
    // may complete a marker begun up to one marker length before it.
    std::erase_if(expansions, [open](const Expansion& e) { return e.end + kOpen.size() <= open; });
    for (const auto& e : expansions) {
      if (e.name == entry->first && e.begin <= open && open < e.end) return;
    }

    const std::string& value = entry->second;
    const std::size_t placeholder_size = close + kClose.size() - open;
    if (text.size() - placeholder_size + value.size() > kBundleSizeLimit) return;
    text.replace(open, placeholder_size, value);

    // Positions right of the replaced placeholder move with it; one that fell
    // inside it now ends after the inserted value.
    auto moved = [&](std::size_t pos) {
      if (pos <= open) return pos;
      if (pos < open + placeholder_size) return open + value.size();
      return pos - placeholder_size + value.size();
    };
    for (auto& e : expansions) {
      e.begin = moved(e.begin);
      e.end = moved(e.end);
    }
    expansions.push_back({entry->first, open, open + value.size()});
  }
}

}  // namespace

ResolvedResource substitute_registered(const ResolvedResource& resource, const Registers& registers) {
  ResolvedResource copy = resource;
  for (auto& [key, value] : copy.props) {
    if (auto* text = std::get_if<std::string>(&value.value)) substitute_text(*text, registers);
  }
  return copy;
}

bool has_register_placeholder(const ResolvedResource& resource) {
  for (const auto& [key, value] : resource.props) {
    const std::string* text = value.as_string();
    if (text && text->find(kOpen) != std::string::npos) return true;
  }
  return false;
}

}  // namespace toln
