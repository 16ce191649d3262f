#include "resources/provider_script.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "host/file_services.hpp"
#include "model/unique_fd.hpp"

namespace toln {
namespace {

std::atomic<std::uint64_t> script_counter{0};

// Why a write failed: the OS error's text, or that a write accepted nothing.
struct WriteFailure {
  bool failed = false;
  std::string text;
};

WriteFailure write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return {true, os_error_text(errno)};
    }
    if (written == 0) return {true, "failed to write whole buffer"};
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

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
    if (const WriteFailure failure = write_all(fd.get(), source); failure.failed) {
      return AgentError::resource("failed to write provider script: " + failure.text);
    }
    return script;
  }
  return AgentError::resource("failed to create a unique provider script temp file");
}

}  // namespace toln
