#pragma once
// Reading a whole input into text, refusing more than a limit and anything
// that is not UTF-8.

#include <cstddef>
#include <string>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// Reads at most limit + 1 bytes from source, closes it, then judges: a read
// error (Io) before the size (Config "input too large: exceeds {} bytes")
// before the encoding (Parse "input is not valid UTF-8: {}").
Result<std::string> read_bounded(UniqueFd source, std::size_t limit);

// The judgement alone, for bytes read elsewhere (at most limit + 1 of them).
Result<std::string> judge_bounded_text(std::string bytes, std::size_t limit);

// The same for standard input, which is left open.
Result<std::string> read_bounded_stdin(std::size_t limit);

}  // namespace toln
