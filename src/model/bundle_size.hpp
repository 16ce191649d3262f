#pragma once
// How large a bundle may be, however it arrives.

#include <cstddef>

namespace toln {

// 64 MiB: a bundle read from a file or standard input, fetched with curl,
// or grown by register substitution, is refused beyond it.
inline constexpr std::size_t kBundleSizeLimit = std::size_t{64} << 20;

}  // namespace toln
