#include "model/toml_fault.hpp"

#include <algorithm>

namespace toln {
namespace {

std::string_view line_of(std::string_view text, std::uint32_t line_number) {
  std::size_t start = 0;
  for (std::uint32_t line = 1; line < line_number; ++line) {
    const std::size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) return {};
    start = newline + 1;
  }
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::size_t count_chars(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(
      text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string format_toml_fault(std::string_view text, TextPosition begin, TextPosition end,
                              std::string_view message) {
  if (begin.line == 0) return std::string(message) + "\n";
  const std::string_view line = line_of(text, begin.line);
  const std::size_t line_chars = count_chars(line);
  const std::size_t column = std::max<std::uint32_t>(begin.column, 1);

  // A fault that is a point (a syntax error, the start of the document) gets
  // one caret; a value that goes on to later lines is marked to the line's end.
  const std::size_t room = line_chars + 1 > column ? line_chars + 1 - column : 0;
  std::size_t carets = 1;
  if (end.line == begin.line && end.column > begin.column) carets = end.column - begin.column;
  if (end.line > begin.line) carets = room;
  carets = std::max<std::size_t>(1, std::min(carets, room));

  const std::string number = std::to_string(begin.line);
  const std::string pad(number.size() + 1, ' ');
  std::string out = "TOML parse error at line " + number + ", column " + std::to_string(column) + "\n";
  out += pad + "|\n";
  out += number + " | ";
  out += line;
  out += "\n" + pad + "|" + std::string(column, ' ') + std::string(carets, '^') + "\n";
  out += message;
  out += "\n";
  return out;
}

}  // namespace toln
