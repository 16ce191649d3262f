#pragma once

#include <string_view>

#include "model/bundle.hpp"
#include "model/result.hpp"

namespace toln {

// Parses a whole bundle text (UTF-8, a leading byte-order mark dropped).
// Faults: AgentError::Parse with "failed to parse bundle: {}" holding the
// TOML layer's text of the fault.
Result<Bundle> parse_bundle(std::string_view text);

}  // namespace toln
