#include "host/fd_io.hpp"

#include <algorithm>
#include <cerrno>

namespace toln {
namespace {

constexpr std::string_view kWroteNothingText = "failed to write whole buffer";

// A read or write that took nothing because a signal came first is made
// again.
template <class Call>
Result<std::size_t> retried(Call call) {
  for (;;) {
    const ssize_t done = call();
    if (done >= 0) return static_cast<std::size_t>(done);
    if (errno != EINTR) return AgentError::io(errno);
  }
}

}  // namespace

Result<std::size_t> read_once(int fd, char* buffer, std::size_t size) {
  return retried([&] { return ::read(fd, buffer, size); });
}

Result<std::size_t> read_once_at(int fd, char* buffer, std::size_t size, off_t offset) {
  return retried([&] { return ::pread(fd, buffer, size, offset); });
}

Result<std::string> read_up_to(int fd, std::size_t max_bytes, std::size_t reserve_bytes) {
  std::string bytes;
  bytes.reserve(std::min(reserve_bytes, max_bytes));
  // Memory that the reads do not reach is never touched: the pieces grow
  // with the input.
  std::size_t chunk = 64 * 1024;
  while (bytes.size() < max_bytes) {
    const std::size_t old_size = bytes.size();
    bytes.resize(old_size + std::min(chunk, max_bytes - old_size));
    auto got = read_once(fd, bytes.data() + old_size, bytes.size() - old_size);
    if (!got) return std::move(got).error();
    bytes.resize(old_size + *got);
    if (*got == 0) break;
    if (chunk < 4 * 1024 * 1024) chunk *= 2;
  }
  return bytes;
}

Result<std::size_t> write_once(int fd, std::string_view data) {
  auto written = retried([&] { return ::write(fd, data.data(), data.size()); });
  if (written && *written == 0 && !data.empty()) return AgentError::other(std::string(kWroteNothingText));
  return written;
}

Status write_whole(int fd, std::string_view data) {
  while (!data.empty()) {
    auto written = write_once(fd, data);
    if (!written) return std::move(written).error();
    data.remove_prefix(*written);
  }
  return {};
}

}  // namespace toln
