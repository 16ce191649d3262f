#include "host/read_bounded.hpp"

#include <unistd.h>

#include "host/fd_io.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

// Reserved whole, so that growing never copies: a copy would hold the old
// and the new buffer at once, half as much again as the input. Memory the
// reads do not reach is never touched, so a small input costs only itself.
Result<std::string> read_raw(int fd, std::size_t limit) { return read_up_to(fd, limit + 1, limit + 1); }

// A read error comes before the size and the encoding.
Result<std::string> judge(Result<std::string> raw, std::size_t limit) {
  if (!raw) return raw;
  return judge_bounded_text(std::move(*raw), limit);
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
  auto raw = read_raw(source.get(), limit);
  source.reset();
  return judge(std::move(raw), limit);
}

Result<std::string> read_bounded_stdin(std::size_t limit) {
  return judge(read_raw(STDIN_FILENO, limit), limit);
}

}  // namespace toln
