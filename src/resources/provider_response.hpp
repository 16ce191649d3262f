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

// The text must be exactly one JSON object, with only JSON white space
// around it, holding the string "status"; "diff", "output" and "error" are
// strings or null (null counts as absent); other keys are ignored whatever
// their value, and only a field given twice is a duplicate. Any bytes are
// safe to read: invalid UTF-8 is a syntax error.
//
// The faults: "missing field `status`", "duplicate field `{}`", "invalid
// type: {}, expected {}" ("struct ProviderResponse" for a value that is not
// an object, "a string" for a field), "trailing characters", "EOF while
// parsing a value" (nothing but white space), else the JSON library's words
// for a syntax error. Each is cut like truncate_output, since the library
// quotes a bad token whole, and followed by where the fault was seen: the
// line from 1, and the characters read on it (0 before the first).
std::variant<ProviderResponse, ResponseFault> read_provider_response(std::string_view text);

}  // namespace toln
