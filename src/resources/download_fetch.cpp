#include <unistd.h>

#include "host/process.hpp"
#include "resources/download_steps.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {

Result<std::string> sha256_field(const std::string& file) {
  auto digest = run_command(host_programs::sha256sum(file));
  if (!digest) return std::move(digest).error();
  const std::string text = lossy_utf8(digest->stdout_bytes);
  const auto fields = split_white(text);
  return fields.empty() ? std::string() : std::string(fields.front());
}

Status verify_sha256(const std::string& file, const std::optional<std::string>& checksum) {
  if (!checksum) return {};
  auto field = sha256_field(file);
  if (!field) return std::move(field).error();
  if (*field == *checksum) return {};
  (void)remove_file(file);
  return AgentError::resource("checksum mismatch: expected " + *checksum + ", got " + *field);
}

Status download_file(const std::string& url, const std::string& dest, const std::optional<std::string>& checksum,
                     std::vector<std::string>& messages) {
  const std::string temp = atomic_temp_path(dest);
  (void)remove_file(temp);  // left by an earlier run that was killed
  TempFileGuard temp_guard(temp);
  if (auto fetched = run_checked(host_programs::curl_download(temp, url), "download"); !fetched) return fetched;
  if (auto verified = verify_sha256(temp, checksum); !verified) return verified;
  if (auto committed = commit_temp_file(temp, dest); !committed) return committed;
  temp_guard.release();
  messages.push_back("downloaded -> " + dest);
  return {};
}

}  // namespace toln
