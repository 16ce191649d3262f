#pragma once
// Unicode properties (through ICU) for trimming, splitting and name checks.

#include <string_view>
#include <vector>

namespace toln {

// The Unicode White_Space property.
bool is_white_space(char32_t cp);

// Removes Unicode white space at both ends of valid UTF-8 text.
std::string_view trim_white(std::string_view text);
std::string_view trim_white_start(std::string_view text);
std::string_view trim_white_end(std::string_view text);

// Words of text separated by runs of Unicode white space; no empty words.
std::vector<std::string_view> split_white(std::string_view text);

// Whether valid UTF-8 text holds any Unicode white space.
bool has_white_space(std::string_view text);

// A Unicode letter or number: the Alphabetic property, or the general
// categories Nd, Nl and No.
bool is_alphanumeric(char32_t cp);

}  // namespace toln
