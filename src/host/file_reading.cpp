#include "host/file_reading.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "host/path_checks.hpp"
#include "host/sha256.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

// A text file is read whole, so it is bounded as a bundle is: a sparse file
// of some GiB that another user puts in its place would otherwise take the
// agent's memory.
constexpr std::size_t kTextFileLimit = 64 * 1024 * 1024;

// Reads what is left of fd, but no more than limit + 1 bytes, so that a file
// over the limit shows as one; false with errno set on a read error.
bool read_rest(int fd, std::string& out, std::size_t limit) {
  char buffer[65536];
  while (out.size() <= limit) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

// Fills buffer as far as the file goes; the count, or -1 on a read error.
ssize_t read_full(int fd, char* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::read(fd, buffer + filled, size - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(filled);
}

}  // namespace

std::string read_fault_text(const ReadFault& fault) {
  if (!fault.message.empty()) return fault.message;
  return fault.errnum != 0 ? os_error_text(fault.errnum) : "stream did not contain valid UTF-8";
}

std::variant<std::string, ReadFault> read_text_file(const std::string& path) {
  auto opened = open_path(path);
  if (!opened) return ReadFault{0, opened.error().message()};
  if (!opened->exists) return ReadFault{opened->missing_errno, {}};
  if (S_ISDIR(opened->st.st_mode)) return ReadFault{EISDIR, {}};
  if (!S_ISREG(opened->st.st_mode)) return ReadFault{0, "not a regular file"};
  const ReadFault too_large{0, "larger than " + std::to_string(kTextFileLimit) + " bytes"};
  if (static_cast<std::uint64_t>(opened->st.st_size) > kTextFileLimit) return too_large;
  std::string text;
  if (!read_rest(opened->fd.get(), text, kTextFileLimit)) return ReadFault{errno, {}};
  if (text.size() > kTextFileLimit) return too_large;
  if (!is_valid_utf8(text)) return ReadFault{0, {}};
  return text;
}

Result<std::optional<std::string>> read_file_opt(const std::string& path) {
  if (auto checked = require_no_nul(path); !checked) return std::move(checked).error();
  auto read = read_text_file(path);
  if (auto* text = std::get_if<std::string>(&read)) return std::optional<std::string>(std::move(*text));
  const ReadFault& fault = std::get<ReadFault>(read);
  if (fault.errnum == ENOENT) return std::optional<std::string>();
  return AgentError::resource("failed to read " + path + ": " + read_fault_text(fault));
}

namespace {

// Checks UTF-8 text given in pieces that may split a character.
class Utf8Stream {
 public:
  bool feed(std::string_view piece) {
    if (!carry_.empty()) {
      carry_.append(piece);
      piece = carry_;
    }
    const auto fault = find_utf8_fault(piece);
    std::string rest = fault ? std::string(piece.substr(fault->valid_up_to)) : std::string();
    carry_ = std::move(rest);
    return !fault || !fault->error_len;
  }
  bool finish() const { return carry_.empty(); }

 private:
  std::string carry_;
};

}  // namespace

std::variant<ContentCheck, ReadFault> compare_contents(int fd, std::uint64_t size, std::string_view wanted) {
  if (size != wanted.size() && size > kTextFileLimit) return ContentCheck{false, std::nullopt};
  char buffer[65536];
  std::size_t offset = 0;
  // Set up at the first difference (a digest context costs more than
  // reading a small file): up to it, the file was the wanted text.
  std::optional<Sha256> digest;
  Utf8Stream utf8;
  const auto diverge = [&] {
    digest.emplace();
    digest->update(wanted.substr(0, offset));
    (void)utf8.feed(wanted.substr(0, offset));
  };
  if (size != wanted.size()) diverge();
  for (;;) {
    const ssize_t got = read_full(fd, buffer, sizeof buffer);
    if (got < 0) return ReadFault{errno, {}};
    const std::string_view piece(buffer, static_cast<std::size_t>(got));
    if (!digest && offset + piece.size() <= wanted.size() && wanted.substr(offset, piece.size()) == piece) {
      offset += piece.size();
    } else {
      if (!digest) diverge();
      digest->update(piece);
      if (!utf8.feed(piece)) return ReadFault{0, {}};
      offset += piece.size();
    }
    // Grown past the bound since its size was taken: too large to hash.
    if (offset > kTextFileLimit) return ContentCheck{false, std::nullopt};
    // A short piece: read_full has met the end of the file.
    if (piece.size() < sizeof buffer) break;
  }
  if (!digest && offset == wanted.size()) return ContentCheck{true, std::nullopt};
  if (!digest) diverge();
  if (!utf8.finish()) return ReadFault{0, {}};
  return ContentCheck{false, digest->finish()};
}

Result<std::optional<ContentCheck>> check_contents(const OpenedPath& opened, const std::string& path,
                                                   std::string_view wanted) {
  const auto failed = [&](const std::string& cause) {
    return AgentError::resource("failed to read " + path + ": " + cause);
  };
  if (!opened.exists) {
    if (opened.missing_errno == ENOENT) return std::optional<ContentCheck>();
    return failed(os_error_text(opened.missing_errno));
  }
  if (S_ISDIR(opened.st.st_mode)) return failed(os_error_text(EISDIR));
  if (!S_ISREG(opened.st.st_mode)) return failed("not a regular file");
  auto compared = compare_contents(opened.fd.get(), static_cast<std::uint64_t>(opened.st.st_size), wanted);
  if (auto* fault = std::get_if<ReadFault>(&compared)) return failed(read_fault_text(*fault));
  return std::optional<ContentCheck>(std::move(std::get<ContentCheck>(compared)));
}

FieldChange content_change(std::string field, const std::optional<ContentCheck>& current, std::string_view wanted) {
  if (!current) return change_create(std::move(field), content_digest(wanted));
  return FieldChange{std::move(field), ChangeAction::Update, current->current_digest, content_digest(wanted)};
}

}  // namespace toln
