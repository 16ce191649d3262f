#pragma once
// Reading text files that may be missing, and comparing a file's contents
// with the wanted ones in bounded memory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "host/safe_path.hpp"
#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

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
  // content_digest of the file, when not equal and no larger than 64 MiB.
  std::optional<std::string> current_digest;
};
// Compares the open regular file of the given size with wanted, reading
// only what decides: a size that differs decides without a read, and is
// read (in bounded pieces) only for the digest, never past 64 MiB: a sparse
// file costs its owner nothing. A file read must hold UTF-8 text (else a
// fault with errnum 0).
std::variant<ContentCheck, ReadFault> compare_contents(int fd, std::uint64_t size, std::string_view wanted);
// The same for an opened path: absent when nothing is there. Errors as
// read_file_opt has them ("failed to read {}: {}"): a directory, a file
// that is not regular or not UTF-8, a path that cannot be reached.
Result<std::optional<ContentCheck>> check_contents(const OpenedPath& opened, const std::string& path,
                                                   std::string_view wanted);
// The record of contents that differ: create for a missing file, else an
// update from the current digest (none when it was not taken).
FieldChange content_change(std::string field, const std::optional<ContentCheck>& current, std::string_view wanted);

}  // namespace toln
