#include "host/read_bounded.hpp"

#include <cerrno>
#include <optional>

#include "text/utf8.hpp"

namespace toln {
namespace {

struct RawRead {
  std::string bytes;
  std::optional<int> error;  // errno of a failed read
};

RawRead read_up_to(int fd, std::size_t max_bytes) {
  RawRead raw;
  // Reserved whole, so that growing never copies: a copy would hold the old
  // and the new buffer at once, half as much again as the input. Memory the
  // reads do not reach is never touched, so a small input costs only itself.
  raw.bytes.reserve(max_bytes);
  std::size_t chunk = 64 * 1024;
  while (raw.bytes.size() < max_bytes) {
    const std::size_t want = std::min(chunk, max_bytes - raw.bytes.size());
    const std::size_t old_size = raw.bytes.size();
    raw.bytes.resize(old_size + want);
    const ssize_t got = ::read(fd, raw.bytes.data() + old_size, want);
    if (got < 0) {
      raw.bytes.resize(old_size);
      if (errno == EINTR) continue;
      raw.error = errno;
      break;
    }
    raw.bytes.resize(old_size + static_cast<std::size_t>(got));
    if (got == 0) break;
    if (chunk < 4 * 1024 * 1024) chunk *= 2;
  }
  return raw;
}

Result<std::string> judge(RawRead raw, std::size_t limit) {
  if (raw.error) return AgentError::io(*raw.error);
  return judge_bounded_text(std::move(raw.bytes), limit);
}

}  // namespace

Result<std::string> judge_bounded_text(std::string bytes, std::size_t limit) {
  if (bytes.size() > limit) {
    return AgentError::config("input too large: exceeds " + std::to_string(limit) + " bytes");
  }
  if (auto fault = find_utf8_fault(bytes)) {
    return AgentError::parse("input is not valid UTF-8: " + describe_utf8_fault(*fault));
  }
  return bytes;
}

Result<std::string> read_bounded(UniqueFd source, std::size_t limit) {
  RawRead raw = read_up_to(source.get(), limit + 1);
  source.reset();
  return judge(std::move(raw), limit);
}

Result<std::string> read_bounded_stdin(std::size_t limit) {
  return judge(read_up_to(STDIN_FILENO, limit + 1), limit);
}

}  // namespace toln
