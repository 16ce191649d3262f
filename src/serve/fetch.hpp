#pragma once
// Fetching a bundle over http(s) with curl.

#include <string>
#include <string_view>

#include "model/result.hpp"

namespace toln {

// Runs curl (bounded in size and time, failing on HTTP error statuses,
// following redirects) with standard input inherited, and returns its
// standard output: at most 64 MiB of UTF-8. Errors are AgentError::Config,
// except the size and encoding faults of the output, which are those of
// read_bounded; curl's error output is quoted only when it is UTF-8.
Result<std::string> fetch_bundle_url(std::string_view url);

}  // namespace toln
