#pragma once
// File routines the resource handlers share. Every error is an
// AgentError::Resource.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "host/safe_path.hpp"
#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// Replaces the target's contents so that a reader sees either the old or the
// new file. The target's directory is resolved by resolve_path's rule (an
// unsafe link on the way fails with its error); a symbolic link at the
// target itself is refused. The new file is a PendingFile beside it: it gets
// the target's owner and group (when it existed), then the mode (the given
// one, else the existing bits, else 0644), and is committed; "restorecon"
// is run on the path, its outcome ignored. On failure the target is
// untouched and no temporary file is left.
Status atomic_write(const std::string& path, std::string_view data, std::optional<std::uint32_t> mode);
// The same, handing back the new file's descriptor (open for writing), so
// that a later change of its owner lands on this very file.
Result<UniqueFd> atomic_write_keeping_fd(const std::string& path, std::string_view data,
                                         std::optional<std::uint32_t> mode);

// The name atomic_write gives its temporary file for a target.
std::string atomic_temp_path(const std::string& path);
// ".{name}.toln-tmp.{pid}", the name cut short (at a character boundary)
// where the whole would pass the file-name limit of 255 bytes; "toln" for a
// name that is empty or not UTF-8.
std::string temp_file_name(std::string_view name);

// A new file written beside its target and then put in its place. Made for
// a directory that another user may own: the file is created exclusively,
// mode 0600 and owned by the agent, so no one else can open it or its
// contents before they are complete; it is renamed relative to the
// directory descriptor that was resolved, and what then bears the target's
// name must be this very file. Until commit() succeeds, dropping the object
// removes the temporary name again (when it still names this file).
//
// Usage (atomic_write, and any writer that fills the file itself, such as a
// program given fd() as its standard output):
//   auto resolved = resolve_path(path, LastLink::Keep);   // refuse is_link
//   auto file = PendingFile::create(resolved->parent.get(), resolved->name, path);
//   ... write to file->fd(), fchown, then fchmod on it ...
//   file->commit();
class PendingFile {
 public:
  // Creates temp_file_name(name) in dir_fd (opened O_RDWR, O_EXCL, O_NOFOLLOW),
  // removing first a stale entry of that name (left by a killed agent that
  // had the same id). target is the target's path, for messages: "failed to
  // create temp file {}: {}" with the temporary path.
  static Result<PendingFile> create(int dir_fd, const std::string& name, const std::string& target);
  PendingFile(PendingFile&&) noexcept = default;
  PendingFile& operator=(PendingFile&&) = delete;
  ~PendingFile();

  int fd() const { return fd_.get(); }
  const std::string& temp_path() const { return temp_path_; }
  // Flushes the file ("fsync temp: {}"), renames it over the target in the
  // same directory ("failed to rename {} -> {}: {}"), checks that the target
  // is now this file ("{target} was replaced while it was being written")
  // and flushes the directory (a failure there is ignored).
  Status commit();
  // The descriptor, for a change made after the commit.
  UniqueFd release_fd() { return std::move(fd_); }

 private:
  PendingFile(UniqueFd dir, UniqueFd fd, std::string name, std::string temp_name, std::string target);

  UniqueFd dir_;
  UniqueFd fd_;
  std::string name_;
  std::string temp_name_;
  std::string target_;
  std::string temp_path_;
  bool committed_ = false;
};

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
// are not valid UTF-8; a message of its own where it is neither.
struct ReadFault {
  int errnum = 0;
  std::string message;
};
// The message, the OS error's text, or "stream did not contain valid UTF-8".
std::string read_fault_text(const ReadFault& fault);
// The whole file as UTF-8 text, or why not. The path is opened with
// open_path (so under resolve_path's rule) and must lead to a regular file
// ("not a regular file"; a directory gives EISDIR): nothing blocks or reads
// without end.
std::variant<std::string, ReadFault> read_text_file(const std::string& path);

// How a file's contents compare with the wanted ones.
struct ContentCheck {
  bool equal = false;
  std::string current_digest;  // content_digest of the file, when not equal
};
// Reads the open regular file to its end in bounded pieces: equal to wanted,
// or else its digest; it must hold UTF-8 text either way (else a fault with
// errnum 0).
std::variant<ContentCheck, ReadFault> compare_contents(int fd, std::string_view wanted);
// The same for an opened path: absent when nothing is there. Errors as
// read_file_opt has them ("failed to read {}: {}"): a directory, a file
// that is not regular or not UTF-8, a path that cannot be reached.
Result<std::optional<ContentCheck>> check_contents(const OpenedPath& opened, const std::string& path,
                                                   std::string_view wanted);

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

// Removes a directory tree on descriptors, never following a symbolic link:
// a link at the path (trailing slashes or not) is removed itself, and so is
// one swapped in while the tree is being removed; a path that is neither is
// refused (ENOTDIR). Links on the way to it follow resolve_path's rule.
// 0, the errno, or an unsafe link's error.
Result<int> remove_dir_all(const std::string& path);

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
