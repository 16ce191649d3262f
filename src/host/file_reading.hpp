#pragma once
// Reading text files that may be missing, and comparing a file's contents
// with the wanted ones in bounded memory.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/safe_path.hpp"
#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

// The largest text file that is read whole or hashed: 64 MiB. A text file
// is bounded as a bundle is: a sparse file of some GiB that another user
// puts in its place would otherwise take the agent's memory.
inline constexpr std::size_t kTextFileLimit = std::size_t{64} << 20;

// The whole file as UTF-8 text; absent when it does not exist, else
// "failed to read {}: {}".
Result<std::optional<std::string>> read_file_opt(const std::string& path);

// The whole file as UTF-8 text. The path is opened with open_path (so under
// resolve_path's rule) and must lead to a regular file: nothing blocks or
// reads without end. The error is the cause alone: an OS error (ENOENT for
// a missing file, EISDIR for a directory), "not a regular file", "larger
// than {} bytes", "stream did not contain valid UTF-8", or open_path's.
Result<std::string> read_text(const std::string& path);

// How a file's contents compare with the wanted ones.
struct ContentCheck {
  bool equal = false;
  // content_digest of the file, when not equal and within kTextFileLimit.
  std::optional<std::string> current_digest;
};
// Compares the open regular file of the given size with wanted, reading
// only what decides: a size that differs decides without a read, and is
// read (in bounded pieces) only for the digest, never past kTextFileLimit:
// a sparse file costs its owner nothing. The error is the cause alone: a
// read's OS error, or "stream did not contain valid UTF-8" for a file read
// that does not hold UTF-8 text.
Result<ContentCheck> compare_contents(int fd, std::uint64_t size, std::string_view wanted);
// The same for an opened path: absent when nothing is there. Errors as
// read_file_opt has them ("failed to read {}: {}"): a directory, a file
// that is not regular or not UTF-8, a path that cannot be reached.
Result<std::optional<ContentCheck>> check_contents(const OpenedPath& opened, const std::string& path,
                                                   std::string_view wanted);
// The record of contents that differ: create for a missing file, else an
// update from the current digest (none when it was not taken).
FieldChange content_change(std::string field, const std::optional<ContentCheck>& current, std::string_view wanted);

}  // namespace toln
