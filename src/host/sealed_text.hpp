#pragma once
// A text handed to a child as a file instead of as an argument: every local
// user can read a process's arguments (ps, /proc/PID/cmdline), while the
// file is a sealed memory file of the agent's that only root can open.

#include <string>
#include <string_view>

#include "host/unique_fd.hpp"
#include "model/result.hpp"

namespace toln {

class SealedText {
 public:
  SealedText(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  // "/proc/{agent pid}/fd/{n}": what a child opens to read the text. The
  // child inherits no descriptor: it reaches the agent's own, which stays
  // open as long as this object lives.
  const std::string& path() const { return path_; }

 private:
  UniqueFd fd_;
  std::string path_;
};

// The text in a memory file sealed against every change, so that what the
// child reads is what was checked. The error is the cause alone (an OS
// error's text).
Result<SealedText> seal_text(std::string_view text);

}  // namespace toln
