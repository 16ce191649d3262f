#include "resources/provider_response.hpp"

#include <array>
#include <cstdint>
#include <iterator>
#include <nlohmann/json.hpp>

#include "model/toml_value.hpp"
#include "text/quoted.hpp"
#include "text/truncate.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

using Json = nlohmann::json;

// Walks the text for the JSON parser and keeps how far it has read, the one
// position its event interface does not tell.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** reached) : at_(at), reached_(reached) {}
  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    *reached_ = ++at_;
    return *this;
  }
  bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** reached_;
};

// " at line {} column {}" after the first `offset` bytes of the text: the
// column counts the characters since the last line feed (every byte that
// does not continue a UTF-8 sequence).
std::string position_text(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      ++line;
      column = 0;
    } else if ((byte & 0xC0) != 0x80) {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

enum class Field : std::uint8_t { Status, Diff, Output, Error, Ignored };
constexpr std::array<std::string_view, 4> kFieldNames = {"status", "diff", "output", "error"};

Field field_named(std::string_view key) {
  for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
    if (kFieldNames[i] == key) return static_cast<Field>(i);
  }
  return Field::Ignored;
}

// A value as the parser reported it: a string, null, or anything else by
// its description ("integer `5`", "map").
struct Found {
  enum Kind : std::uint8_t { Text, Null, Other };
  Kind kind;
  std::string text;  // the string, or the description

  std::string description() const {
    return kind == Text ? "string " + quoted_text(text) : kind == Null ? "null" : text;
  }
};

// The event handler of the JSON parser. The object's own keys are at depth
// 1; anything deeper belongs to the value of an ignored key.
class ResponseReader {
 public:
  ResponseReader(std::string_view text, const char** reached) : text_(text), reached_(reached) {}

  bool null() { return scalar({Found::Null, {}}); }
  bool boolean(bool value) { return scalar({Found::Other, value ? "boolean `true`" : "boolean `false`"}); }
  bool number_integer(Json::number_integer_t value) { return number("integer `" + std::to_string(value) + "`"); }
  bool number_unsigned(Json::number_unsigned_t value) { return number("integer `" + std::to_string(value) + "`"); }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return number("floating point `" + float_text_with_point(value) + "`");
  }
  bool string(Json::string_t& value) { return scalar({Found::Text, std::move(value)}); }
  bool binary(Json::binary_t&) { return scalar({Found::Other, "bytes"}); }

  bool start_object(std::size_t) { return open("map"); }
  bool start_array(std::size_t) { return open("sequence"); }
  bool end_array() {
    --depth_;
    return true;
  }
  bool end_object() {
    if (--depth_ > 0) return true;
    if (!seen_[static_cast<std::size_t>(Field::Status)]) return fail("missing field `status`", read_so_far());
    object_end_ = read_so_far();
    return true;
  }

  bool key(Json::string_t& name) {
    if (depth_ != 1) return true;
    pending_ = field_named(name);
    if (pending_ == Field::Ignored) return true;
    if (seen_[static_cast<std::size_t>(pending_)]) return fail("duplicate field `" + name + "`", read_so_far());
    seen_[static_cast<std::size_t>(pending_)] = true;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    if (object_end_) {
      // The object is whole: whatever the parser stumbled on is extra.
      const std::size_t extra = text_.find_first_not_of(" \t\r\n", *object_end_);
      return fail("trailing characters", extra == std::string_view::npos ? text_.size() : extra + 1);
    }
    if (text_.find_first_not_of(" \t\r\n") == std::string_view::npos) {
      return fail("EOF while parsing a value", text_.size());
    }
    // "[json.exception.parse_error.101] parse error at line 1, column 2: {}"
    const std::string_view what = error.what();
    const std::size_t words = what.find(": ");
    return fail(std::string(what.substr(words == std::string_view::npos ? 0 : words + 2)), read_so_far());
  }

  const std::optional<ResponseFault>& fault() const { return fault_; }
  ProviderResponse take_response() { return std::move(response_); }

 private:
  std::size_t read_so_far() const { return static_cast<std::size_t>(*reached_ - text_.data()); }

  bool fail(std::string message, std::size_t offset) {
    fault_ = ResponseFault{truncate_output(lossy_utf8(message)) + position_text(text_, offset)};
    return false;
  }

  bool wrong_type(const Found& found, std::string_view expected, std::size_t offset) {
    return fail("invalid type: " + found.description() + ", expected " + std::string(expected), offset);
  }

  // The parser reads one character past a number unless the text ends
  // there; a number's own last character is a digit.
  bool number(std::string description) {
    std::size_t offset = read_so_far();
    if (offset > 0 && (text_[offset - 1] < '0' || text_[offset - 1] > '9')) --offset;
    return value_found({Found::Other, std::move(description)}, offset);
  }

  bool scalar(Found found) { return value_found(std::move(found), read_so_far()); }

  bool value_found(Found found, std::size_t offset) {
    if (depth_ == 0) return wrong_type(found, "struct ProviderResponse", offset);
    if (depth_ > 1 || pending_ == Field::Ignored) return true;
    const Field field = std::exchange(pending_, Field::Ignored);
    if (found.kind == Found::Null && field != Field::Status) return true;
    if (found.kind != Found::Text) return wrong_type(found, "a string", offset);
    switch (field) {
      case Field::Status: response_.status = std::move(found.text); break;
      case Field::Diff: response_.diff = std::move(found.text); break;
      case Field::Output: response_.output = std::move(found.text); break;
      case Field::Error: response_.error = std::move(found.text); break;
      case Field::Ignored: break;
    }
    return true;
  }

  bool open(std::string description) {
    const Found found{Found::Other, std::move(description)};
    if (depth_ == 0 && found.text != "map") return wrong_type(found, "struct ProviderResponse", read_so_far());
    if (depth_ == 1 && pending_ != Field::Ignored) return wrong_type(found, "a string", read_so_far());
    ++depth_;
    return true;
  }

  std::string_view text_;
  const char** reached_;
  int depth_ = 0;
  Field pending_ = Field::Ignored;
  std::array<bool, 4> seen_{};
  std::optional<std::size_t> object_end_;
  ProviderResponse response_;
  std::optional<ResponseFault> fault_;
};

}  // namespace

std::variant<ProviderResponse, ResponseFault> read_provider_response(std::string_view text) {
  const char* reached = text.data();
  ResponseReader reader(text, &reached);
  // The reader records every refusal, the parser's own included.
  if (!Json::sax_parse(TrackingIterator(text.data(), &reached), TrackingIterator(text.data() + text.size(), &reached),
                       &reader)) {
    return *reader.fault();
  }
  return reader.take_response();
}

}  // namespace toln
