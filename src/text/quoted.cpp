#include "text/quoted.hpp"

#include <cstdio>

#include "text/utf8.hpp"

namespace toln {

std::string quoted_text(std::string_view text) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = next_code_point(text, pos);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        // The C0 and C1 control characters and DEL.
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out.append(text.substr(start, pos - start));
        }
    }
  }
  return out + "\"";
}

}  // namespace toln
