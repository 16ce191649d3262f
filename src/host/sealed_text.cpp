#include "host/sealed_text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "host/fd_io.hpp"

namespace toln {

Result<SealedText> seal_text(std::string_view text) {
  UniqueFd fd(::memfd_create("toln-script", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd.valid()) return AgentError::io(errno);
  if (auto written = write_whole(fd.get(), text); !written) return std::move(written).error();
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return AgentError::io(errno);
  }
  std::string path = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd.get());
  return SealedText(std::move(fd), std::move(path));
}

}  // namespace toln
