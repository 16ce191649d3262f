#include "model/parse_bundle.hpp"

#include "model/toml_bounds.hpp"
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
  std::string_view body = text;
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  // Before the library builds anything: it recurses once per level.
  if (auto fault = check_toml_bounds(body)) return parse_fault(body, fault->at, fault->at, fault->message);
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    const auto& error = parsed.error();
    return parse_fault(body, {error.source().begin.line, error.source().begin.column},
                       {error.source().end.line, error.source().end.column}, error.description());
  }
  Bundle bundle;
  if (auto fault = read_bundle(parsed.table(), bundle)) {
    return parse_fault(body, fault->begin, fault->end, fault->message);
  }
  return bundle;
}

}  // namespace toln
