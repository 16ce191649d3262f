#include "host/atomic_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/fd_io.hpp"
#include "host/foreign_files.hpp"
#include "host/path_parts.hpp"
#include "host/pending_file.hpp"
#include "host/process.hpp"
#include "host/safe_path.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

// Gives the written temporary file its owner (the wanted one, else that of
// an existing target), then its mode. The owner comes first: a chown clears
// the set-user-id and set-group-id bits.
Status finish_temp(int fd, std::string_view data, const std::optional<struct stat>& existing,
                   const std::optional<OwnerIds>& owner, std::uint32_t mode) {
  if (auto written = write_whole(fd, data); !written) {
    return AgentError::resource("write temp: " + written.error().message());
  }
  if (owner) {
    const uid_t uid = owner->uid.value_or(existing ? existing->st_uid : static_cast<uid_t>(-1));
    const gid_t gid = owner->gid.value_or(existing ? existing->st_gid : static_cast<gid_t>(-1));
    if (::fchown(fd, uid, gid) != 0) return AgentError::os("set owner on temp", errno);
  } else if (existing && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
    return AgentError::os("preserve owner on temp", errno);
  }
  if (::fchmod(fd, mode) != 0) return AgentError::os("set mode on temp", errno);
  return {};
}

}  // namespace

Result<UniqueFd> atomic_write_at(const ResolvedPath& entry, const std::string& path, std::string_view data,
                                 std::optional<std::uint32_t> mode, const std::optional<OwnerIds>& owner) {
  auto bait = is_bait(entry, owner, path);
  if (!bait) return std::move(bait).error();
  if (entry.is_link && !*bait) {
    return AgentError::resource("refusing to atomically write " + path + ": path is a symlink");
  }
  if (!split_path(path).parent || (!entry.parent.valid() && entry.exists())) {
    return AgentError::resource(path + " has no parent directory");
  }
  if (!entry.parent.valid()) {
    return AgentError::os("failed to create temp file " + atomic_temp_path(path), entry.missing_errno);
  }
  // A trailing slash names a directory, which a file cannot replace: the
  // rename would say so.
  if (path.ends_with('/')) {
    const int error = entry.exists() && S_ISDIR(entry.st.st_mode) ? EISDIR : ENOTDIR;
    return AgentError::os("failed to rename " + atomic_temp_path(path) + " -> " + path, error);
  }

  std::optional<struct stat> existing;
  if (entry.exists() && !*bait) existing = entry.st;
  const std::uint32_t wanted_mode = mode.value_or(existing ? existing->st_mode & 07777 : 0644);

  auto file = PendingFile::create(entry.parent.get(), entry.name, path);
  if (!file) return std::move(file).error();
  if (auto finished = finish_temp(file->fd(), data, existing, owner, wanted_mode); !finished) {
    return std::move(finished).error();
  }
  if (auto committed = file->commit(); !committed) return std::move(committed).error();
  (void)run(host_programs::restorecon(lossy_utf8(path)));
  return file->release_fd();
}

Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode) {
  auto entry = resolve_path(path, LastLink::Keep);
  if (!entry) return std::move(entry).error();
  auto written = atomic_write_at(*entry, path, data, mode);
  if (!written) return std::move(written).error();
  return {};
}

}  // namespace toln
