#include "text/unicode.hpp"

#include <unicode/uchar.h>

#include "text/utf8.hpp"

namespace toln {
namespace {

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool is_white_space(char32_t cp) {
  if (cp < 0x80) return is_ascii_space(static_cast<unsigned char>(cp));
  return u_isUWhiteSpace(static_cast<UChar32>(cp));
}

bool is_alphanumeric(char32_t cp) {
  const auto c = static_cast<UChar32>(cp);
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
  const auto type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

std::string_view trim_white_start(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      if (!is_ascii_space(byte)) break;
      ++pos;
      continue;
    }
    std::size_t next = pos;
    if (!is_white_space(next_code_point(text, next))) break;
    pos = next;
  }
  return text.substr(pos);
}

std::string_view trim_white_end(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    const auto byte = static_cast<unsigned char>(text[end - 1]);
    if (byte < 0x80) {
      if (!is_ascii_space(byte)) break;
      --end;
      continue;
    }
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    if (!is_white_space(next_code_point(text, pos))) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim_white(std::string_view text) { return trim_white_end(trim_white_start(text)); }

std::vector<std::string_view> split_white(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  std::size_t word_start = std::string_view::npos;
  while (pos < text.size()) {
    const std::size_t here = pos;
    if (is_white_space(next_code_point(text, pos))) {
      if (word_start != std::string_view::npos) words.push_back(text.substr(word_start, here - word_start));
      word_start = std::string_view::npos;
    } else if (word_start == std::string_view::npos) {
      word_start = here;
    }
  }
  if (word_start != std::string_view::npos) words.push_back(text.substr(word_start));
  return words;
}

bool has_white_space(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (is_white_space(next_code_point(text, pos))) return true;
  }
  return false;
}

}  // namespace toln
