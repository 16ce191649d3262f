// eval_when on any condition: the first line is the condition, the other
// lines "key=value" facts. A condition without the binary operators negates
// exactly under a leading "!".
#include <string>
#include <string_view>

#include "check.hpp"
#include "engine/when.hpp"
#include "text/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!toln::is_valid_utf8(input)) return 0;  // conditions come from a UTF-8 bundle
  const std::size_t newline = input.find('\n');
  const std::string_view condition = input.substr(0, newline);
  toln::FactTable facts;
  std::string_view rest = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos) facts[std::string(line.substr(0, equals))] = line.substr(equals + 1);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const bool result = toln::eval_when(condition, facts);
  TOLN_FUZZ_CHECK(result == toln::eval_when(condition, facts));
  if (condition.find_first_of("|&") == std::string_view::npos) {
    TOLN_FUZZ_CHECK(toln::eval_when("!" + std::string(condition), facts) == !result);
  }
  return 0;
}
