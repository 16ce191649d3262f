#include "text/truncate.hpp"

#include <cstddef>

#include "text/utf8.hpp"

namespace toln {

std::string truncate_output(std::string_view text) {
  constexpr std::size_t kLimit = 2000;
  if (text.size() <= kLimit) return std::string(text);
  return std::string(text.substr(0, floor_char_boundary(text, kLimit))) + std::string(kTruncatedMarker);
}

}  // namespace toln
