#pragma once
// Bounds on the shape of a bundle, checked on its text before the TOML
// library builds a document from it. Both the library and the record reader
// recurse once per level of nesting, so a deep text would overflow the
// stack; and a document of millions of tiny values costs far more memory
// per byte of text than any ordinary bundle.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "model/toml_fault.hpp"

namespace toln {

// Levels on the written path from the root to a value: each part of a table
// header, each part of a key (dotted or not) and each array bracket, inline
// or the index of a "[[...]]" header.
inline constexpr std::size_t kMaxNestingLevels = 128;

// Key parts (in key/value pairs and in headers) plus array elements: every
// node the TOML library allocates is one of these.
inline constexpr std::size_t kMaxBundleValues = 2'000'000;

struct BoundFault {
  std::string message;
  TextPosition at;  // line 0: the fault has no place of its own
};

// The first bound the text crosses, if any. A text that is not TOML may be
// judged on a guess of its structure; the TOML library refuses it anyway.
std::optional<BoundFault> check_toml_bounds(std::string_view text);
// The same, also giving the bytes its searches passed over. The scan is
// linear in the size of the text, however its lines are shaped: each byte
// is searched at most three times.
std::optional<BoundFault> check_toml_bounds(std::string_view text, std::size_t& bytes_searched);

}  // namespace toln
