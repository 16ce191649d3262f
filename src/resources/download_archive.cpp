#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "host/dir_listing.hpp"
#include "host/fd_io.hpp"
#include "host/process.hpp"
#include "model/run_report.hpp"
#include "resources/download_steps.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

Result<HostCommand> unpack_command(const std::string& url, const std::string& archive, const std::string& dir,
                                   std::string& label) {
  if (url.ends_with(".zip")) {
    label = "unzip";
    return host_programs::unzip(archive, dir);
  }
  if (url.ends_with(".tar.gz") || url.ends_with(".tgz")) {
    label = "tar extract";
    return host_programs::tar_extract(archive, dir);
  }
  return AgentError::resource("unsupported archive format for " + url + ". Supported: .zip, .tar.gz, .tgz");
}

Result<std::string> canonical(const std::string& path, std::string_view what) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) {
    return AgentError::os("failed to resolve " + std::string(what), errno);
  }
  return std::string(resolved);
}

// Component by component: the directory itself counts as inside.
bool lies_inside(std::string_view path, std::string_view dir) {
  return path == dir || (path.starts_with(dir) && (dir == "/" || path[dir.size()] == '/'));
}

// The entry to install, open: inside the extraction directory after every
// link is resolved, and a regular file (a device or a pipe would make the
// copy read the host's device or wait for ever).
Result<UniqueFd> open_member(const std::string& extract_dir, const std::string& found, struct stat& st) {
  auto dir = canonical(extract_dir, "extract dir");
  if (!dir) return std::move(dir).error();
  auto member = canonical(found, "extracted file");
  if (!member) return std::move(member).error();
  if (!lies_inside(*member, *dir)) {
    return AgentError::resource("refusing to install '" + found +
                                "': extracted path escapes the extraction directory");
  }
  UniqueFd fd(::open(member->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return AgentError::resource("refusing to install '" + found + "': extracted entry is not a regular file");
  }
  return fd;
}

}  // namespace

Result<std::string> find_extracted_file(const std::string& dir, const std::string& wanted_name) {
  const UniqueFd dir_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  const std::string failed = "failed to read " + dir;
  if (!dir_fd.valid()) return AgentError::os(failed, errno);
  DirListing listing(dir_fd.get());
  std::vector<std::string> names;
  while (const auto raw = listing.next()) {
    std::string name = lossy_utf8(*raw);
    if (name == wanted_name) return dir + "/" + *raw;
    names.push_back(std::move(name));
  }
  if (auto listed = listing.status(failed); !listed) return std::move(listed).error();
  return AgentError::resource("no extracted file named '" + wanted_name + "' (archive contained: " +
                              join(names, ", ") +
                              "). Set `dest` to one of these names so toln knows which file to install.");
}

Result<UnpackedArchive> unpack_archive(const std::string& url, const std::string& file_name,
                                       const std::string& checksum) {
  auto download_dir = make_temp_dir("toln-download");
  if (!download_dir) return std::move(download_dir).error();
  auto extract_dir = make_temp_dir("toln-extract");
  if (!extract_dir) return std::move(extract_dir).error();

  const std::string archive = download_dir->path() + "/archive";
  const UniqueFd archive_fd(::open(archive.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!archive_fd.valid()) {
    return AgentError::os("failed to create temp file " + archive, errno);
  }
  if (auto fetched = fetch_into(host_programs::curl_download_archive(url), archive_fd.get()); !fetched) {
    return std::move(fetched).error();
  }
  if (auto verified = verify_sha256(archive_fd.get(), archive, checksum); !verified) return std::move(verified).error();
  std::string label;
  auto unpack = unpack_command(url, archive, extract_dir->path(), label);
  if (!unpack) return std::move(unpack).error();
  if (auto unpacked = run_checked(*unpack, label); !unpacked) return std::move(unpacked).error();

  auto found = find_extracted_file(extract_dir->path(), lossy_utf8(file_name));
  if (!found) return std::move(found).error();
  struct stat st {};
  auto member = open_member(extract_dir->path(), *found, st);
  if (!member) return std::move(member).error();
  return UnpackedArchive{std::move(download_dir).value(), std::move(extract_dir).value(), std::move(*member),
                         st.st_mode};
}

Status copy_member(const UnpackedArchive& archive, int fd, const std::string& dest) {
  Status written;
  auto read = read_pieces(archive.member.get(), [&](std::string_view piece) {
    written = write_whole(fd, piece);
    return written.ok();
  });
  const std::string context = "failed to copy extracted file to " + dest;
  if (!read) return read.error().in_context(context);
  if (!written) return written.error().in_context(context);
  return {};
}

}  // namespace toln
