#include "text/utf8.hpp"

#include <string>

namespace toln {
namespace {

// Length of the well-formed sequence that the lead byte announces, 0 when the
// byte can never start one.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The allowed range of the second byte depends on the lead byte (this is what
// rules out overlong forms, surrogates and code points above U+10FFFF).
bool second_byte_ok(unsigned char lead, unsigned char b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
  }
}

bool is_continuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// Checks the sequence at pos. Returns its length when valid; otherwise the
// length of the maximal invalid subpart, or 0 when the input ends inside it.
struct Step {
  bool valid;
  std::size_t len;  // valid: sequence length; invalid: subpart length, 0 = truncated
};

Step check_sequence(std::string_view s, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  const std::size_t need = sequence_length(lead);
  if (need == 0) return {false, 1};
  if (need == 1) return {true, 1};
  for (std::size_t i = 1; i < need; ++i) {
    if (pos + i >= s.size()) return {false, 0};
    const auto b = static_cast<unsigned char>(s[pos + i]);
    const bool ok = i == 1 ? second_byte_ok(lead, b) : is_continuation(b);
    if (!ok) return {false, i};
  }
  return {true, need};
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
  std::size_t pos = 0;
  const std::size_t n = bytes.size();
  while (pos < n) {
    // ASCII runs dominate bundle texts: skip them eight bytes at a time.
    while (pos + 8 <= n) {
      unsigned long long word;
      __builtin_memcpy(&word, bytes.data() + pos, 8);
      if (word & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= n) break;
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const Step step = check_sequence(bytes, pos);
    if (!step.valid) {
      Utf8Fault fault{pos, std::nullopt};
      if (step.len != 0) fault.error_len = step.len;
      return fault;
    }
    pos += step.len;
  }
  return std::nullopt;
}

std::string describe_utf8_fault(const Utf8Fault& fault) {
  if (fault.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*fault.error_len) + " bytes from index " +
           std::to_string(fault.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(fault.valid_up_to);
}

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = check_sequence(bytes, pos);
    if (step.valid) {
      out.append(bytes.substr(pos, step.len));
      pos += step.len;
    } else {
      out.append("\xEF\xBF\xBD");
      pos += step.len == 0 ? bytes.size() - pos : step.len;
    }
  }
  return out;
}

std::size_t floor_char_boundary(std::string_view text, std::size_t max_bytes) {
  if (max_bytes >= text.size()) return text.size();
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t len = sequence_length(lead);
  if (len == 0) len = 1;
  char32_t cp = len == 1 ? lead : lead & (0x7F >> len);
  for (std::size_t i = 1; i < len && pos + i < text.size(); ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  pos += len;
  return cp;
}

}  // namespace toln
