#pragma once
// File routines the resource handlers share. Every error is an
// AgentError::Resource.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "model/result.hpp"

namespace toln {

// Replaces the target's contents so that a reader sees either the old or the
// new file. Refuses a symbolic link at the target. The temporary file
// ".{name}.toln-tmp.{pid}" beside it (a stale one, of a killed agent that had
// the same id, removed first) is created exclusively and private, gets
// the target's owner and group (when it existed), then the mode (the given
// one, else the existing bits, else 0644), is synced and renamed over the
// target; the directory is synced and "restorecon" run, its outcome ignored.
// On failure the temporary file is removed and the target untouched.
Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode);

// The name atomic_write gives its temporary file for a target.
std::string atomic_temp_path(const std::string& path);

// Puts a finished temporary file (written by another program) in place: it
// is synced, renamed over path and the directory synced. "failed to sync
// {}: {}" or "failed to rename {} -> {}: {}" (a path holding a NUL byte is
// refused first); the temporary file is then left to its owner.
Status commit_temp_file(const std::string& temp, const std::string& path);

// Removes a temporary file when it goes out of scope, unless released (once
// it has been renamed into place). A missing file is no error.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard();
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// Owns a private temporary directory; removes it with everything below it
// when it goes out of scope, ignoring errors.
class TempDirGuard {
 public:
  explicit TempDirGuard(std::string path) : path_(std::move(path)) {}
  TempDirGuard(TempDirGuard&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TempDirGuard& operator=(TempDirGuard&&) = delete;
  TempDirGuard(const TempDirGuard&) = delete;
  ~TempDirGuard();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A new empty directory "{prefix}-{pid}-{nanos}-{attempt}" with mode 0700 in
// TMPDIR (else "/tmp").
Result<TempDirGuard> make_temp_dir(std::string_view prefix);

// The system temporary directory: TMPDIR, else "/tmp".
std::string temp_dir_root();

// The whole file as UTF-8 text; absent when it does not exist, else
// "failed to read {}: {}".
Result<std::optional<std::string>> read_file_opt(const std::string& path);

// Why a file could not be read as text: the OS error, or 0 when its contents
// are not valid UTF-8.
struct ReadFault {
  int errnum = 0;
};
// The OS error's text, or "stream did not contain valid UTF-8".
std::string read_fault_text(const ReadFault& fault);
// The whole file as UTF-8 text, or why not.
std::variant<std::string, ReadFault> read_text_file(const std::string& path);

// Whether two files hold the same bytes; false when either cannot be read.
bool same_file_contents(const std::string& a, const std::string& b);

// "sha256:" and 64 lowercase hexadecimal digits.
std::string content_digest(std::string_view data);

// An octal number: one leading "+" allowed, octal digits only, fitting 32
// bits; else "invalid mode: {}".
Result<std::uint32_t> parse_mode(std::string_view text);

// Permission bits in octal, zero-padded to at least four digits ("0644").
std::string format_mode(std::uint32_t mode);

// The path's metadata following symbolic links; absent on any failure.
std::optional<struct stat> stat_path(const std::string& path);

// The parent directory and its missing ancestors, mode 0777 before the
// umask; 0 or the errno. A path without a parent needs nothing.
int create_parent_dirs(const std::string& path);
int create_dir_all(const std::string& path);

// Removes a directory tree without following symbolic links: a link at the
// path is removed itself, a path that is neither is refused (ENOTDIR).
// 0 or the errno.
int remove_dir_all(const std::string& path);

// Whether removing the path would remove the whole file system tree ("/",
// "/tmp/..", or "." run from "/"). A symbolic link there is only unlinked.
bool is_root_directory(const std::string& path);

// unlink; 0 or the errno.
int remove_file(const std::string& path);

// Error builders.
AgentError write_failed_error(std::string_view path, const AgentError& cause);
AgentError stat_failed_error(std::string_view path, int errnum);
AgentError create_dir_failed_error(int errnum);
AgentError remove_failed_error(std::string_view path, int errnum);
AgentError chmod_failed_error(std::string_view path, int errnum);

}  // namespace toln
