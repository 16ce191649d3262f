// substitute_registered on any text and registers: it ends, stays within the
// size bound, leaves everything but top-level strings alone, and, when no
// register value can form part of a marker, stops only at a placeholder it
// cannot resolve.
#include <string>
#include <string_view>

#include "check.hpp"
#include "engine/registers.hpp"
#include "model/bundle_size.hpp"

namespace {

constexpr std::string_view kOpen = "__TOLN_REG_";

// Short names let the fuzzer build placeholders: "\x01" stands for the
// opening marker and "\x02" for the closing one.
std::string expand(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\x01') out += kOpen;
    else if (c == '\x02') out += "__TOLN_END__";
    else out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Sections separated by NUL: the text, then name, value, name, value...
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  while (true) {
    const std::size_t nul = input.find('\0');
    parts.push_back(expand(input.substr(0, nul)));
    if (nul == std::string_view::npos) break;
    input.remove_prefix(nul + 1);
  }
  toln::Registers registers;
  bool values_can_form_markers = false;
  for (std::size_t i = 1; i + 1 < parts.size(); i += 2) {
    registers[parts[i]] = parts[i + 1];
    // Every marker begins with "__": a value without "_" cannot start one.
    values_can_form_markers = values_can_form_markers || parts[i + 1].find('_') != std::string::npos;
  }
  toln::ResolvedResource resource;
  resource.props["text"] = toln::TomlValue{parts[0]};
  resource.props["list"] = toln::TomlValue{toln::TomlArray{toln::TomlValue{parts[0]}}};
  const toln::ResolvedResource out = toln::substitute_registered(resource, registers);
  const std::string& text = *out.props.at("text").as_string();
  TOLN_FUZZ_CHECK(text.size() <= std::max(parts[0].size(), toln::kBundleSizeLimit));
  TOLN_FUZZ_CHECK(*out.props.at("list").as_array()->at(0).as_string() == parts[0]);
  if (!values_can_form_markers) {
    const std::size_t open = text.find(kOpen);
    if (open != std::string::npos) {
      const std::size_t close = text.find("__TOLN_END__", open + kOpen.size());
      if (close != std::string::npos) {
        const std::string name = text.substr(open + kOpen.size(), close - open - kOpen.size());
        TOLN_FUZZ_CHECK(!registers.contains(name));
      }
    }
  }
  return 0;
}
