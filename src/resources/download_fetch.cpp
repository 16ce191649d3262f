#include <cstdint>

#include "host/fd_io.hpp"
#include "host/process.hpp"
#include "host/sha256.hpp"
#include "resources/download_steps.hpp"

namespace toln {

Result<std::string> sha256_hex_of(int fd, const std::string& path) {
  Sha256 digest;
  auto read = read_pieces(fd, [&](std::string_view piece) {
    digest.update(piece);
    return true;
  });
  if (!read) return AgentError::os("failed to read " + path, read.error().os_errno());
  return digest.finish().substr(std::string_view("sha256:").size());
}

bool could_be_a_transfer(const struct stat& st) {
  constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
  constexpr std::uint64_t kHoleBound = std::uint64_t{64} << 20;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const auto on_disk = static_cast<std::uint64_t>(st.st_blocks) * 512;
  if (size > kTiB) return false;
  return st.st_uid == 0 || size <= kHoleBound || on_disk >= size / 16;
}

Status verify_sha256(int fd, const std::string& path, const std::optional<std::string>& checksum) {
  if (!checksum) return {};
  auto digest = sha256_hex_of(fd, path);
  if (!digest) return std::move(digest).error();
  if (*digest == *checksum) return {};
  return AgentError::resource("checksum mismatch: expected " + *checksum + ", got " + *digest);
}

Status fetch_into(const HostCommand& curl, int fd) {
  auto fetched = run(curl, {.stdout_fd = fd});
  if (!fetched) return std::move(fetched).error();
  if (fetched->status != 0) return AgentError::resource("download failed: " + stderr_text(*fetched));
  return {};
}

}  // namespace toln
