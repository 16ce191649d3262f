#include "model/compact_json.hpp"

namespace toln {

CompactJsonWriter::CompactJsonWriter(std::string& out)
    : out_(out),
      serializer_(std::make_unique<Serializer>(nlohmann::detail::output_adapter<char>(out),
                                               ' ', nlohmann::json::error_handler_t::replace)),
      scratch_(std::string()) {}

CompactJsonWriter::~CompactJsonWriter() = default;

void CompactJsonWriter::string(std::string_view text) {
  scratch_.get_ref<std::string&>().assign(text);
  serializer_->dump(scratch_, false, false, 0);
}

void CompactJsonWriter::key(bool& first, std::string_view name) {
  if (!first) out_.push_back(',');
  first = false;
  out_.push_back('"');
  out_.append(name);
  out_.append("\":");
}

}  // namespace toln
