#pragma once
// UTF-8 checks and cuts that must match byte for byte what the agent reports.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace toln {

// The first fault of a byte sequence that is not valid UTF-8.
struct Utf8Fault {
  std::size_t valid_up_to = 0;           // offset of the first bad byte
  std::optional<std::size_t> error_len;  // absent: the input ends inside a character
};

// Finds the first fault; absent when the bytes are valid UTF-8. The length of
// an invalid sequence follows the maximal-subpart rule (E2 82 41 gives 2,
// ED A0 80 gives 1, C0 AF gives 1).
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !find_utf8_fault(bytes); }

// "invalid utf-8 sequence of {} bytes from index {}" or
// "incomplete utf-8 byte sequence from index {}".
std::string describe_utf8_fault(const Utf8Fault& fault);

// Decodes bytes, replacing each maximal invalid subpart by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// The largest index <= max_bytes that falls on a character boundary of text
// (which must be valid UTF-8).
std::size_t floor_char_boundary(std::string_view text, std::size_t max_bytes);

// Decodes the code point starting at text[pos] of valid UTF-8 and advances pos.
char32_t next_code_point(std::string_view text, std::size_t& pos);
}  // namespace toln
