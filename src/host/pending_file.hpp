#pragma once
// A new file written beside its target and then put in its place, made for
// a directory that another user may own and whose entries they may rename
// at any moment.

#include <string>
#include <string_view>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

// ".{name}.toln-tmp.{pid}.{16 random hexadecimal digits}", new on every
// call, the name cut short (at a character boundary) where the whole would
// pass the file-name limit of 255 bytes; "toln" for a name that is empty or
// not UTF-8. The process id is there for anyone to read: a name made of it
// alone could be taken first.
std::string temp_file_name(std::string_view name);
// Such a name's path beside the target path (bare beside a bare name).
std::string atomic_temp_path(const std::string& path);

// The file is created unnamed (O_TMPFILE), mode 0600 and owned by the
// agent, so no one else can open it and a killed agent leaves nothing
// behind; where the file system has no unnamed files it is created
// exclusively under its temporary name instead. It gets a name only at
// commit, the temporary one first, and is renamed over the target relative
// to the directory descriptor that was resolved; what then bears the
// target's name must be this very file. A temporary name that is taken is
// replaced by a fresh one (up to 16 tries), so an entry someone put there
// costs a try, never the write; nothing is ever removed to free a name.
// Until commit() succeeds, dropping the object removes the temporary name
// again (when it still names this file).
//
// Usage (atomic_write, and any writer that fills the file itself, such as a
// program given fd() as its standard output):
//   auto resolved = resolve_path(path, LastLink::Keep);   // refuse is_link
//   auto file = PendingFile::create(resolved->parent.get(), resolved->name, path);
//   ... write to file->fd(), fchown, then fchmod on it ...
//   file->commit();
class PendingFile {
 public:
  // A new file in dir_fd, whose entry name is the target's. target is the
  // target's path, for messages: "failed to create temp file {}: {}" with
  // the temporary path.
  static Result<PendingFile> create(int dir_fd, const std::string& name, const std::string& target);
  PendingFile(PendingFile&&) noexcept = default;
  PendingFile& operator=(PendingFile&&) = delete;
  ~PendingFile();

  int fd() const { return fd_.get(); }
  // The temporary name's path beside the target: the name the file has, or
  // the first it will be given.
  const std::string& temp_path() const { return temp_path_; }
  // Flushes the file ("fsync temp: {}"), gives it a temporary name ("failed
  // to create temp file {}: {}"), renames it over the target ("failed to
  // rename {} -> {}: {}"),
  // checks that the target is now this file ("{target} was replaced while it
  // was being written") and flushes the directory (a failure there is
  // ignored).
  Status commit();
  // The descriptor, for a change made after the commit.
  UniqueFd release_fd() { return std::move(fd_); }

 private:
  PendingFile(UniqueFd dir, UniqueFd fd, bool named, std::string name, std::string temp_name, std::string target);

  // Links the unnamed file under the temporary name.
  Status give_temp_name();

  UniqueFd dir_;
  UniqueFd fd_;
  bool named_;  // the temporary name was made for this file
  std::string name_;
  std::string temp_name_;
  std::string target_;
  std::string temp_path_;
  bool committed_ = false;
};

}  // namespace toln
