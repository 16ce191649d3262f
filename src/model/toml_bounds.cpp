#include "model/toml_bounds.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace toln {
namespace {

// A lexical scan, not a parser: it follows strings (all four forms, with
// escapes), comments, quoted keys, headers and brackets closely enough that
// every valid document is measured exactly, and keeps nothing but a stack of
// open brackets. The levels it counts are those written in the text; where
// a header such as "[a.b]" continues an array of tables "[[a]]", the array
// is not written there and not counted, so the library's tables may nest up
// to twice the bound: still a small, fixed depth. Values are over-counted
// where keys share a prefix ("a.b = 1" and "a.c = 2" count four, not three).

// Bytes that end a bare value (a number, a boolean, a date) or are
// structure in a value.
constexpr std::array<bool, 256> kValueEnd = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view("\"'[]{},#\n")) table[c] = true;
  return table;
}();

// Bytes that end a bare key or are structure in a key or header.
constexpr std::array<bool, 256> kKeyEnd = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view(" \t\r\n.\"'#=]}")) table[c] = true;
  return table;
}();

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

class BoundsScan {
 public:
  explicit BoundsScan(std::string_view text) : text_(text) {
    frames_.reserve(kMaxNestingLevels + 2);
    frames_.push_back({Frame::Top});
  }

  std::optional<BoundFault> run() {
    while (pos_ < text_.size() && !fault_) {
      switch (mode_) {
        case Mode::LineStart: line_start(); break;
        case Mode::Key: key(); break;
        case Mode::Header: key(); break;
        case Mode::LineRest: skip_to_newline(); mode_ = Mode::LineStart; break;
        case Mode::Value: value(); break;
      }
    }
    return std::move(fault_);
  }

  std::size_t bytes_searched() const { return bytes_searched_; }

 private:
  enum class Mode { LineStart, Key, Header, LineRest, Value };
  struct Frame {
    enum Kind : std::uint8_t { Top, Table, Array } kind;
    bool expect_element = false;
    std::uint32_t key_parts = 0;
  };

  void line_start() {
    const char c = text_[pos_];
    if (is_blank(c) || c == '\n') {
      ++pos_;
    } else if (c == '#') {
      skip_to_newline();
    } else if (c == '[') {
      depth_ = 0;
      header_depth_ = 0;
      ++pos_;
      if (pos_ < text_.size() && text_[pos_] == '[') {
        array_header_ = true;
        add_level(pos_++);
      } else {
        array_header_ = false;
      }
      need_part_ = true;
      mode_ = Mode::Header;
    } else {
      need_part_ = true;
      mode_ = Mode::Key;
    }
  }

  // A key of a key/value pair or the inside of a header.
  void key() {
    const char c = text_[pos_];
    switch (c) {
      case ' ':
      case '\t':
      case '\r': ++pos_; return;
      case '.': need_part_ = true; ++pos_; return;
      case '"':
        begin_part();
        skip_basic_string(pos_ + 1);
        return;
      case '\'':
        begin_part();
        skip_literal_string(pos_ + 1);
        return;
      case '#': skip_to_newline(); return;
      case '\n':
        ++pos_;
        if (mode_ == Mode::Header || frames_.size() == 1) end_statement();
        return;
      default: break;
    }
    if (mode_ == Mode::Header && c == ']') {
      ++pos_;
      if (array_header_ && pos_ < text_.size() && text_[pos_] == ']') ++pos_;
      header_depth_ = depth_;
      mode_ = Mode::LineRest;
    } else if (mode_ == Mode::Key && c == '=') {
      ++pos_;
      mode_ = Mode::Value;
    } else if (mode_ == Mode::Key && c == '}' && frames_.back().kind == Frame::Table) {
      ++pos_;
      close_frame();
      mode_ = Mode::Value;
    } else {
      begin_part();
      ++pos_;
      while (pos_ < text_.size() && !kKeyEnd[static_cast<unsigned char>(text_[pos_])]) ++pos_;
    }
  }

  void value() {
    const char c = text_[pos_];
    Frame& frame = frames_.back();
    switch (c) {
      case ' ':
      case '\t':
      case '\r': ++pos_; return;
      case '\n':
        ++pos_;
        if (frames_.size() == 1) end_statement();
        return;
      case '#': skip_to_newline(); return;
      case '"':
        element();
        if (text_.substr(pos_, 3) == "\"\"\"") {
          skip_multiline_basic_string(pos_ + 3);
        } else {
          skip_basic_string(pos_ + 1);
        }
        return;
      case '\'':
        element();
        if (text_.substr(pos_, 3) == "'''") {
          skip_multiline_literal_string(pos_ + 3);
        } else {
          skip_literal_string(pos_ + 1);
        }
        return;
      case '[':
        element();
        if (add_level(pos_)) frames_.push_back({Frame::Array, true});
        ++pos_;
        return;
      case '{':
        element();
        // An inline table's levels are its keys; only text that is not TOML
        // ("a = {={={") opens more tables than levels.
        if (frames_.size() > kMaxNestingLevels) return deeper_than_bound(pos_);
        frames_.push_back({Frame::Table});
        need_part_ = true;
        mode_ = Mode::Key;
        ++pos_;
        return;
      case ']':
        if (frame.kind == Frame::Array) close_frame();
        ++pos_;
        return;
      case '}':
        if (frame.kind == Frame::Table) close_frame();
        ++pos_;
        return;
      case ',':
        if (frame.kind == Frame::Table) {
          depth_ -= frame.key_parts;
          frame.key_parts = 0;
          need_part_ = true;
          mode_ = Mode::Key;
        } else if (frame.kind == Frame::Array) {
          frame.expect_element = true;
        }
        ++pos_;
        return;
      default:
        element();
        while (pos_ < text_.size() && !kValueEnd[static_cast<unsigned char>(text_[pos_])]) ++pos_;
    }
  }

  void begin_part() {
    if (!need_part_) return;
    need_part_ = false;
    if (mode_ == Mode::Key) ++frames_.back().key_parts;
    if (add_level(pos_)) add_value();
  }

  void element() {
    Frame& frame = frames_.back();
    if (frame.kind != Frame::Array || !frame.expect_element) return;
    frame.expect_element = false;
    add_value();
  }

  bool add_level(std::size_t at) {
    if (++depth_ <= kMaxNestingLevels) return true;
    deeper_than_bound(at);
    return false;
  }

  void deeper_than_bound(std::size_t at) {
    fail(at, "too deeply nested: more than " + std::to_string(kMaxNestingLevels) +
                 " levels of table headers, keys and arrays");
  }

  void add_value() {
    if (++values_ <= kMaxBundleValues) return;
    fault_ = BoundFault{"too many values: more than " + std::to_string(kMaxBundleValues) +
                            " keys and array elements",
                        {}};
  }

  void close_frame() {
    const Frame& frame = frames_.back();
    depth_ -= frame.kind == Frame::Array ? 1 : frame.key_parts;
    frames_.pop_back();
  }

  // The end of a top-level line: what stays open is the last header.
  void end_statement() {
    frames_.resize(1);
    frames_[0].key_parts = 0;
    depth_ = header_depth_;
    mode_ = Mode::LineStart;
  }

  void skip_to_newline() { pos_ = next_newline(pos_); }

  // From just after the opening quote to just after the closing one; a line
  // feed ends a one-line string too (the library refuses it there). Every
  // search stops at the end of the line, found once for all the strings on
  // it, and each byte is searched a bounded number of times, escapes or not.
  void skip_basic_string(std::size_t at) {
    const std::size_t newline = next_newline(at);
    std::size_t quote = find(at, '"', newline);
    for (;;) {
      if (quote < at) quote = find(at, '"', newline);
      const std::size_t escape = find(at, '\\', quote);
      if (escape == quote) {
        pos_ = quote < newline ? quote + 1 : newline;
        return;
      }
      at = escape + 2;
    }
  }

  void skip_literal_string(std::size_t at) {
    const std::size_t newline = next_newline(at);
    const std::size_t quote = find(at, '\'', newline);
    pos_ = quote < newline ? quote + 1 : newline;
  }

  // The first line feed from at, else the end of the text. The scan only
  // moves forward, so one found from an earlier place still holds.
  std::size_t next_newline(std::size_t at) {
    if (!newline_found_ || newline_ < at) {
      newline_ = find(at, '\n');
      newline_found_ = true;
    }
    return newline_;
  }

  // The first c from at up to end, else end.
  std::size_t find(std::size_t at, char c, std::size_t end = std::string_view::npos) {
    end = std::min(end, text_.size());
    if (at >= end) return end;
    const void* found = std::memchr(text_.data() + at, c, end - at);
    const std::size_t stop = found ? static_cast<std::size_t>(static_cast<const char*>(found) - text_.data()) : end;
    bytes_searched_ += stop - at;
    return stop;
  }

  // A closing delimiter may be followed by up to two more quotes that
  // belong to the content ("""a""""" ends in a"").
  void skip_closing_quotes(std::size_t after, char quote) {
    for (int extra = 0; extra < 2 && after < text_.size() && text_[after] == quote; ++extra) ++after;
    pos_ = after;
  }

  void skip_multiline_basic_string(std::size_t at) {
    while (at < text_.size()) {
      const char c = text_[at];
      if (c == '\\') {
        at += 2;
      } else if (c == '"' && text_.substr(at, 3) == "\"\"\"") {
        return skip_closing_quotes(at + 3, '"');
      } else {
        ++at;
      }
    }
    pos_ = text_.size();
  }

  void skip_multiline_literal_string(std::size_t at) {
    const std::size_t end = text_.find("'''", at);
    if (end == std::string_view::npos) {
      pos_ = text_.size();
    } else {
      skip_closing_quotes(end + 3, '\'');
    }
  }

  void fail(std::size_t at, std::string message) {
    const std::string_view before = text_.substr(0, at);
    const std::string_view line_before = before.substr(before.rfind('\n') + 1);  // npos + 1 is 0
    const auto line = 1 + std::count(before.begin(), before.end(), '\n');
    const auto column = 1 + std::count_if(line_before.begin(), line_before.end(),
                                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    fault_ = BoundFault{std::move(message), {static_cast<std::uint32_t>(line), static_cast<std::uint32_t>(column)}};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Mode mode_ = Mode::LineStart;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
  std::size_t header_depth_ = 0;  // of the last complete header
  std::size_t values_ = 0;
  bool need_part_ = false;
  bool array_header_ = false;
  std::size_t newline_ = 0;
  bool newline_found_ = false;
  std::optional<BoundFault> fault_;
  std::size_t bytes_searched_ = 0;
};

}  // namespace

std::optional<BoundFault> check_toml_bounds(std::string_view text) { return BoundsScan(text).run(); }

std::optional<BoundFault> check_toml_bounds(std::string_view text, std::size_t& bytes_searched) {
  BoundsScan scan(text);
  auto fault = scan.run();
  bytes_searched = scan.bytes_searched();
  return fault;
}

}  // namespace toln
