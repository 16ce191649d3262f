#include "resources/ls_listing.hpp"

#include "host/process.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<std::string> listed_field(const std::string& path, std::size_t index) {
  auto listing = run_command(host_programs::ls_ld(path));
  if (!listing) return std::move(listing).error();
  const std::string text = lossy_utf8(listing->stdout_bytes);
  const auto fields = split_white(text);
  return index < fields.size() ? std::string(fields[index]) : std::string();
}

}  // namespace

Result<std::string> listed_owner(const std::string& path) { return listed_field(path, 2); }
Result<std::string> listed_group(const std::string& path) { return listed_field(path, 3); }

}  // namespace toln
