#pragma once
// The file a download is written into before it replaces dest.
//
// dest's directory may belong to another user, who can rename any entry in
// it (the agent's own included) and put a link in its place at any moment.
// So the file is created by the agent itself, exclusively and readable by
// root alone, and is only ever reached through its descriptor: the transfer
// is written into it, it is verified and given its owner and mode through
// it, and only then is it given a name in the directory, relative to the
// directory's descriptor.

#include <string>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

class PrivateFile {
 public:
  // A new, unnamed file (O_TMPFILE) in the directory; where the file system
  // has none, a file in a new private (0700) directory made there. dest
  // names the target in errors; name is its entry in dir_fd.
  static Result<PrivateFile> create(int dir_fd, const std::string& name, const std::string& dest);

  PrivateFile(PrivateFile&& other) noexcept;
  PrivateFile& operator=(PrivateFile&&) = delete;
  PrivateFile(const PrivateFile&) = delete;
  // Removes whatever of it is still there: the file and the private
  // directory, each only while its name still leads to it.
  ~PrivateFile();

  int fd() const { return fd_.get(); }

  // Syncs the file and puts it in place of dir_fd's entry name (the
  // directory it was created in), then checks that what is there now is
  // this file: "{dest} was replaced while it was being written" if not.
  Status put_in_place(const std::string& dest);

 private:
  PrivateFile(int dir_fd, std::string name) : dir_fd_(dir_fd), name_(std::move(name)) {}

  // Links the unnamed file as a fresh hidden name beside dest.
  Status link_hidden(const std::string& dest);
  // Whether dir's entry name is this file (or, for the private directory,
  // that directory).
  static bool is_entry(int dir, const std::string& name, int fd);

  int dir_fd_;        // borrowed: the resolved directory of dest
  std::string name_;  // dest's entry in it
  UniqueFd fd_;
  // The hidden name the file (unnamed) or the private directory
  // (fallback) has in the directory, empty while it has none.
  std::string hidden_;
  UniqueFd private_dir_;          // fallback: the directory the file is in
  bool in_private_dir_ = false;  // fallback: the file is its entry "file"
};

// ".{name}.toln-tmp.{random}", name cut so that the whole fits a file name.
std::string hidden_temp_name(const std::string& name);

}  // namespace toln
