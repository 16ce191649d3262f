#include "model/parse_bundle.hpp"

#include "model/toml_fault.hpp"
#include "model/toml_reader.hpp"

namespace toln {
namespace {

AgentError parse_fault(std::string_view text, TextPosition begin, TextPosition end, std::string_view message) {
  return AgentError::parse("failed to parse bundle: " + format_toml_fault(text, begin, end, message));
}

}  // namespace

Result<Bundle> parse_bundle(std::string_view text) {
  // The TOML library drops one leading byte-order mark itself and refuses a
  // second as a syntax error; its positions count from after the mark, so
  // faults quote the text without it.
  toml::parse_result parsed = toml::parse(text);
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (!parsed) {
    const auto& error = parsed.error();
    return parse_fault(text, {error.source().begin.line, error.source().begin.column},
                       {error.source().end.line, error.source().end.column}, error.description());
  }
  Bundle bundle;
  if (auto fault = read_bundle(parsed.table(), bundle)) {
    return parse_fault(text, fault->begin, fault->end, fault->message);
  }
  return bundle;
}

}  // namespace toln
