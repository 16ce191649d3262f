#include <unistd.h>

#include <cerrno>

#include "host/process.hpp"
#include "host/sha256.hpp"
#include "resources/download_steps.hpp"

namespace toln {

Result<std::string> sha256_hex_of(int fd, const std::string& path) {
  Sha256 digest;
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return AgentError::resource("failed to read " + path + ": " + os_error_text(errno));
    }
    if (got == 0) break;
    digest.update(std::string_view(buffer, static_cast<std::size_t>(got)));
    offset += got;
  }
  return digest.finish().substr(std::string_view("sha256:").size());
}

Status verify_sha256(int fd, const std::string& path, const std::optional<std::string>& checksum) {
  if (!checksum) return {};
  auto digest = sha256_hex_of(fd, path);
  if (!digest) return std::move(digest).error();
  if (*digest == *checksum) return {};
  return AgentError::resource("checksum mismatch: expected " + *checksum + ", got " + *digest);
}

Status fetch_into(const HostCommand& curl, int fd) {
  auto fetched = run_command_to_fd(curl.program, curl.args, fd);
  if (!fetched) return std::move(fetched).error();
  if (fetched->status != 0) return AgentError::resource("download failed: " + stderr_text(*fetched));
  return {};
}

}  // namespace toln
