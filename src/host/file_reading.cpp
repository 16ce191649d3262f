#include "host/file_reading.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "host/fd_io.hpp"
#include "host/path_checks.hpp"
#include "host/sha256.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

AgentError not_utf8_error() { return AgentError::other("stream did not contain valid UTF-8"); }

AgentError read_failed(const std::string& path, const AgentError& cause) {
  return AgentError::resource("failed to read " + path + ": " + cause.message());
}

// Why the opened path is no regular file to read, as the cause alone.
Status require_regular(const OpenedPath& opened) {
  if (!opened.exists) return AgentError::io(opened.missing_errno);
  if (S_ISDIR(opened.st.st_mode)) return AgentError::io(EISDIR);
  if (!S_ISREG(opened.st.st_mode)) return AgentError::other("not a regular file");
  return {};
}

}  // namespace

Result<std::string> read_text(const std::string& path) {
  auto opened = open_path(path);
  if (!opened) return std::move(opened).error();
  if (auto regular = require_regular(*opened); !regular) return std::move(regular).error();
  const auto size = static_cast<std::uint64_t>(opened->st.st_size);
  const auto too_large = [] { return AgentError::other("larger than " + std::to_string(kTextFileLimit) + " bytes"); };
  if (size > kTextFileLimit) return too_large();
  // The size found is what is reserved; a file that grows meanwhile is still
  // read to its end or past the limit.
  auto text = read_up_to(opened->fd.get(), kTextFileLimit + 1, static_cast<std::size_t>(size) + 1);
  if (!text) return text;
  if (text->size() > kTextFileLimit) return too_large();
  if (!is_valid_utf8(*text)) return not_utf8_error();
  return text;
}

Result<std::optional<std::string>> read_file_opt(const std::string& path) {
  if (auto checked = require_no_nul(path); !checked) return std::move(checked).error();
  auto text = read_text(path);
  if (text) return std::optional<std::string>(std::move(*text));
  if (text.error().os_errno() == ENOENT) return std::optional<std::string>();
  return read_failed(path, text.error());
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

Result<ContentCheck> compare_contents(int fd, std::uint64_t size, std::string_view wanted) {
  if (size != wanted.size() && size > kTextFileLimit) return ContentCheck{false, std::nullopt};
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
  bool text = true;
  auto read = read_pieces(fd, [&](std::string_view piece) {
    if (!digest && offset + piece.size() <= wanted.size() && wanted.substr(offset, piece.size()) == piece) {
      offset += piece.size();
      // All of the size taken on this descriptor was the wanted text: one
      // more read would only find the end.
      return offset < size;
    }
    if (!digest) diverge();
    digest->update(piece);
    text = utf8.feed(piece);
    offset += piece.size();
    return text && offset <= kTextFileLimit;
  });
  if (!read) return std::move(read).error();
  if (!text) return not_utf8_error();
  // Grown past the bound since its size was taken: too large to hash.
  if (offset > kTextFileLimit) return ContentCheck{false, std::nullopt};
  if (!digest && offset == wanted.size()) return ContentCheck{true, std::nullopt};
  if (!digest) diverge();
  if (!utf8.finish()) return not_utf8_error();
  return ContentCheck{false, digest->finish()};
}

Result<std::optional<ContentCheck>> check_contents(const OpenedPath& opened, const std::string& path,
                                                   std::string_view wanted) {
  if (!opened.exists && opened.missing_errno == ENOENT) return std::optional<ContentCheck>();
  if (auto regular = require_regular(opened); !regular) return read_failed(path, regular.error());
  auto check = compare_contents(opened.fd.get(), static_cast<std::uint64_t>(opened.st.st_size), wanted);
  if (!check) return read_failed(path, check.error());
  return std::optional<ContentCheck>(std::move(*check));
}

FieldChange content_change(std::string field, const std::optional<ContentCheck>& current, std::string_view wanted) {
  if (!current) return change_create(std::move(field), content_digest(wanted));
  return FieldChange{std::move(field), ChangeAction::Update, current->current_digest, content_digest(wanted)};
}

}  // namespace toln
