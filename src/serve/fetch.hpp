#pragma once
// Fetching a bundle over http(s) with curl.

#include <string>
#include <string_view>

#include "model/result.hpp"
#include "model/unique_fd.hpp"

namespace toln {

// Runs curl (bounded in size and time, failing on HTTP error statuses,
// following redirects) with standard input inherited, and returns its
// standard output: at most 64 MiB of UTF-8. Errors are AgentError::Config,
// except the size and encoding faults of the output, which are those of
// read_bounded.
Result<std::string> fetch_bundle_url(std::string_view url);

// Reads the pipe to its end (keeping what came before a read error), closes
// it and returns the bytes, or an empty text when they are not UTF-8.
std::string pipe_reader_thread(UniqueFd pipe);

}  // namespace toln
