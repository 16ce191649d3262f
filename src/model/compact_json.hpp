#pragma once
// A writer of compact JSON text into one growing buffer, with the JSON
// library's string escaping. Objects are written key by key through
// json_struct_field.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace toln {

class CompactJsonWriter {
 public:
  explicit CompactJsonWriter(std::string& out);
  ~CompactJsonWriter();

  void raw(std::string_view text) { out_.append(text); }
  void raw(char c) { out_.push_back(c); }
  void string(std::string_view text);
  void unsigned_number(std::uint64_t value) { out_.append(std::to_string(value)); }

  // Starts a key inside an object: the separating comma unless first, the
  // key and the colon. Keys are constants that need no escaping.
  void key(bool& first, std::string_view name);

 private:
  using Serializer = nlohmann::detail::serializer<nlohmann::json>;
  std::string& out_;
  std::unique_ptr<Serializer> serializer_;
  nlohmann::json scratch_;
};

}  // namespace toln
