#include "resources/provider_script.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "host/fd_io.hpp"
#include "host/file_services.hpp"
#include "model/unique_fd.hpp"

namespace toln {
namespace {

std::atomic<std::uint64_t> script_counter{0};

}  // namespace

ProviderScript::~ProviderScript() {
  if (!path_.empty()) (void)remove_file(path_);
}

Result<ProviderScript> write_provider_script(std::string_view source) {
  const std::string prefix = temp_dir_root() + "/toln-provider-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::string path = prefix + std::to_string(script_counter.fetch_add(1));
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      if (errno == EEXIST) continue;
      return AgentError::resource("failed to create provider script: " + os_error_text(errno));
    }
    ProviderScript script(std::move(path));
    if (const int outcome = write_all(fd.get(), source); outcome != 0) {
      return AgentError::resource("failed to write provider script: " + write_failure_text(outcome));
    }
    return script;
  }
  return AgentError::resource("failed to create a unique provider script temp file");
}

}  // namespace toln
