#include "resources/provider_response.hpp"

#include <gtest/gtest.h>

namespace toln {
namespace {

struct Accepted {
  std::string_view text;
  std::string status;
  std::optional<std::string> diff;
  std::optional<std::string> output;
  std::optional<std::string> error;
};

TEST(ProviderResponse, Accepted) {
  const Accepted cases[] = {
      {R"({"status":"ok"})", "ok", {}, {}, {}},
      {R"({"status":"changed","diff":"x","output":"o","error":"e"})", "changed", "x", "o", "e"},
      {R"({"error":"e","output":"o","diff":"x","status":"failed"})", "failed", "x", "o", "e"},
      {R"({"status":"ok","diff":null,"output":null,"error":null})", "ok", {}, {}, {}},
      {"  \n\t{ \"status\" : \"ok\" }\r\n ", "ok", {}, {}, {}},
      {R"({"status":"\u00e9\n\"\\","diff":""})", "\xC3\xA9\n\"\\", "", {}, {}},
      {R"({"status":"Ok"})", "Ok", {}, {}, {}},
      // Other keys are skipped whatever they hold, nested field names included.
      {R"({"extra":{"status":1,"k":[{"diff":2}]},"status":"ok","more":[null,true,1.5,-3,18446744073709551616]})",
       "ok", {}, {}, {}},
      {R"({"x":1,"x":{},"status":"ok"})", "ok", {}, {}, {}},
      {R"({"status":"ok","output":"a\u0000b"})", "ok", {}, std::string("a\0b", 3), {}},
  };
  for (const auto& c : cases) {
    const auto read = read_provider_response(c.text);
    const auto* response = std::get_if<ProviderResponse>(&read);
    if (!response) {
      ADD_FAILURE() << c.text << ": " << std::get<ResponseFault>(read).message;
      continue;
    }
    EXPECT_EQ(response->status, c.status) << c.text;
    EXPECT_EQ(response->diff, c.diff) << c.text;
    EXPECT_EQ(response->output, c.output) << c.text;
    EXPECT_EQ(response->error, c.error) << c.text;
  }
}

struct Refused {
  std::string_view text;
  std::string_view fault;
};

TEST(ProviderResponse, Refused) {
  const Refused cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"{}", "missing field `status` at line 1 column 2"},
      {"{\"diff\":\"x\"\n}", "missing field `status` at line 2 column 1"},
      {R"({"status":"ok","status":"ok"})", "duplicate field `status` at line 1 column 23"},
      {R"({"status":"ok","diff":null,"diff":"x"})", "duplicate field `diff` at line 1 column 33"},
      // Columns count characters: the key é is two bytes.
      {R"({"é":1,"status":"ok","status":1})", "duplicate field `status` at line 1 column 29"},
      // The first fault in the text wins.
      {R"({"status":5,"status":"ok"})", "invalid type: integer `5`, expected a string at line 1 column 11"},
      {"5", "invalid type: integer `5`, expected struct ProviderResponse at line 1 column 1"},
      {"-5 ", "invalid type: integer `-5`, expected struct ProviderResponse at line 1 column 2"},
      {"1.0", "invalid type: floating point `1.0`, expected struct ProviderResponse at line 1 column 3"},
      {"1e2", "invalid type: floating point `100.0`, expected struct ProviderResponse at line 1 column 3"},
      {R"("a\"b")", R"(invalid type: string "a\"b", expected struct ProviderResponse at line 1 column 6)"},
      {"true", "invalid type: boolean `true`, expected struct ProviderResponse at line 1 column 4"},
      {"null", "invalid type: null, expected struct ProviderResponse at line 1 column 4"},
      {"[\"ok\"]", "invalid type: sequence, expected struct ProviderResponse at line 1 column 1"},
      {R"({"status":12 })", "invalid type: integer `12`, expected a string at line 1 column 12"},
      {R"({"status":null})", "invalid type: null, expected a string at line 1 column 14"},
      {R"({"diff":true,"status":"ok"})", "invalid type: boolean `true`, expected a string at line 1 column 12"},
      {R"({"output":{"a":1},"status":"ok"})", "invalid type: map, expected a string at line 1 column 11"},
      {R"({"error":[1],"status":"ok"})", "invalid type: sequence, expected a string at line 1 column 10"},
      {"{\"status\":\"ok\"}\n{\"status\":\"ok\"}", "trailing characters at line 2 column 1"},
      {R"({"status":"ok"} x)", "trailing characters at line 1 column 17"},
      {R"({"status":"ok"}})", "trailing characters at line 1 column 16"},
      {R"({"status":"ok",})",
       "syntax error while parsing object key - unexpected '}'; expected string literal at line 1 column 16"},
      {R"({"status":"ok")",
       "syntax error while parsing object - unexpected end of input; expected '}' at line 1 column 14"},
      {"garbage", "syntax error while parsing value - invalid literal; last read: 'g' at line 1 column 1"},
  };
  for (const auto& c : cases) {
    const auto read = read_provider_response(c.text);
    const auto* fault = std::get_if<ResponseFault>(&read);
    if (!fault) {
      ADD_FAILURE() << "accepted: " << c.text;
      continue;
    }
    EXPECT_EQ(fault->message, c.fault) << c.text;
  }
}

TEST(ProviderResponse, LongFaultTextsAreCut) {
  const std::string body(3000, 'a');
  const struct {
    std::string text;
    std::string head;
    std::string tail;
  } cases[] = {
      {"\"" + body, "syntax error while parsing value - invalid string: missing closing quote; last read: '\"aaa",
       "...(truncated) at line 1 column 3001"},
      {"\"" + body + "\"", "invalid type: string \"aaa", "...(truncated) at line 1 column 3002"},
  };
  for (const auto& c : cases) {
    const auto read = read_provider_response(c.text);
    const auto* fault = std::get_if<ResponseFault>(&read);
    ASSERT_NE(fault, nullptr);
    EXPECT_TRUE(fault->message.starts_with(c.head)) << fault->message.substr(0, 100);
    EXPECT_TRUE(fault->message.ends_with(c.tail)) << fault->message.substr(1900);
    EXPECT_EQ(fault->message.size(), 2000 + c.tail.size());
  }
}

}  // namespace
}  // namespace toln
