// parse_bundle on any text: a bundle that parses orders without crashing and
// holds no value nested deeper than the text may nest, and a refused one
// always says why in the parser's own frame.
#include <algorithm>
#include <string_view>

#include "check.hpp"
#include "engine/order.hpp"
#include "engine/when.hpp"
#include "model/parse_bundle.hpp"
#include "model/toml_bounds.hpp"

namespace {

std::size_t depth_of(const toln::TomlValue& value) {
  std::size_t inner = 0;
  if (const auto* array = value.as_array()) {
    for (const auto& element : *array) inner = std::max(inner, depth_of(element));
  } else if (const auto* table = value.as_table()) {
    for (const auto& [key, entry] : *table) inner = std::max(inner, depth_of(entry));
  }
  return 1 + inner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bundle = toln::parse_bundle(text);
  if (!bundle) {
    TOLN_FUZZ_CHECK(bundle.error().kind() == toln::AgentError::Parse);
    TOLN_FUZZ_CHECK(bundle.error().message().starts_with("failed to parse bundle: "));
    return 0;
  }
  // Above a props value's key are at least "resources" and "props"; above a
  // default's, "resource_defs" or "provider_defs", the type, "params" and
  // the parameter.
  for (const auto& resource : bundle->resources) {
    for (const auto& [key, value] : resource.props) TOLN_FUZZ_CHECK(2 + depth_of(value) <= toln::kMaxNestingLevels);
  }
  const auto check_defaults = [](const toln::ParamTable& params) {
    for (const auto& [name, spec] : params) {
      if (spec.default_value) TOLN_FUZZ_CHECK(4 + depth_of(*spec.default_value) <= toln::kMaxNestingLevels);
    }
  };
  for (const auto& [type, def] : bundle->resource_defs) check_defaults(def.params);
  for (const auto& [type, def] : bundle->provider_defs) check_defaults(def.params);
  (void)toln::order_resources(bundle->resources);
  for (const auto& resource : bundle->resources) {
    if (resource.when) (void)toln::eval_when(*resource.when, bundle->facts);
  }
  return 0;
}
