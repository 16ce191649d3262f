#pragma once
// The duration syntax of --interval: a whole number of seconds, or a whole
// number followed by one of the units s, m, h and d.

#include <cstdint>
#include <optional>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// Seconds, or AgentError::Config naming the first fault found.
Result<std::uint64_t> parse_duration(std::string_view text);

// No interval with --once (the text is then not even parsed); otherwise the
// parsed interval, which must be given and be above zero.
Result<std::optional<std::uint64_t>> resolve_interval(const std::optional<std::string>& text, bool once);

}  // namespace toln
