// The reader of a provider's answer on any bytes: either one response whose
// fields are strings, or one fault that says where it was seen.
#include <string_view>
#include <variant>

#include "check.hpp"
#include "resources/provider_response.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto read = toln::read_provider_response(text);
  if (const auto* fault = std::get_if<toln::ResponseFault>(&read)) {
    TOLN_FUZZ_CHECK(fault->message.find(" at line ") != std::string::npos);
    // A bad token is quoted cut, so a fault stays short whatever the input.
    TOLN_FUZZ_CHECK(fault->message.size() < 2200);
    return 0;
  }
  // Reading is a function of the text alone.
  const auto again = toln::read_provider_response(text);
  TOLN_FUZZ_CHECK(std::holds_alternative<toln::ProviderResponse>(again));
  TOLN_FUZZ_CHECK(std::get<toln::ProviderResponse>(again).status == std::get<toln::ProviderResponse>(read).status);
  return 0;
}
