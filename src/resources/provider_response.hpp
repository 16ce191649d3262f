#pragma once
// Reading the one JSON object a provider script prints as its answer.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace toln {

struct ProviderResponse {
  std::string status;
  std::optional<std::string> diff;
  std::optional<std::string> output;
  std::optional<std::string> error;
};

// Why a text is not one response, ending in " at line {} column {}".
struct ResponseFault {
  std::string message;
};

// The text must be exactly one JSON object (white space around it only)
// with the string "status"; "diff", "output" and "error" are strings, and
// null counts as absent; other keys are ignored whatever their value. The
// faults: "missing field `status`", "duplicate field `{}`", "invalid type:
// {}, expected {}" ("struct ProviderResponse" for a value that is no object,
// "a string" for a field), "trailing characters", "EOF while parsing a
// value" (empty text), else the JSON library's words for a syntax error; the
// position counts lines from 1 and characters from 1, column 0 before the
// first character of a line. A fault text is cut like truncate_output
// before the position, as a syntax error quotes the offending token whole.
std::variant<ProviderResponse, ResponseFault> read_provider_response(std::string_view text);

}  // namespace toln
