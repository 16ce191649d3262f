// parse_bundle on any text: a bundle that parses orders without crashing,
// and a refused one always says why in the parser's own frame.
#include <string_view>

#include "check.hpp"
#include "engine/order.hpp"
#include "engine/when.hpp"
#include "model/parse_bundle.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto bundle = toln::parse_bundle(text);
  if (!bundle) {
    TOLN_FUZZ_CHECK(bundle.error().kind() == toln::AgentError::Parse);
    TOLN_FUZZ_CHECK(bundle.error().message().starts_with("failed to parse bundle: "));
    return 0;
  }
  (void)toln::order_resources(bundle->resources);
  for (const auto& resource : bundle->resources) {
    if (resource.when) (void)toln::eval_when(*resource.when, bundle->facts);
  }
  return 0;
}
