#include "resources/provider_script.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "host/fd_io.hpp"
#include "host/unique_fd.hpp"

namespace toln {
namespace {

std::atomic<std::uint64_t> script_counter{0};

AgentError create_failed(int errnum) { return AgentError::os("failed to create provider script", errnum); }

}  // namespace

Result<ProviderScript> write_provider_script(std::string_view source) {
  // A predictable name in the shared directory could be taken first by
  // another user, and every provider would then fail.
  auto guard = make_temp_dir("toln-provider");
  // Its own words for an OS error; a refusal stands as it is.
  if (!guard && guard.error().os_errno() != 0) return create_failed(guard.error().os_errno());
  if (!guard) return std::move(guard).error();

  std::string path = guard->path() + "/toln-provider-" + std::to_string(::getpid()) + "-" +
                     std::to_string(script_counter.fetch_add(1));
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) return create_failed(errno);
  if (auto written = write_whole(fd.get(), source); !written) {
    return AgentError::resource("failed to write provider script: " + written.error().message());
  }
  return ProviderScript(std::move(guard).value(), std::move(path));
}

}  // namespace toln
