#include "host/file_services.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "host/paths.hpp"
#include "text/utf8.hpp"

namespace toln {

TempDirGuard::~TempDirGuard() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir_root() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

Result<TempDirGuard> make_temp_dir(std::string_view prefix) {
  const std::string root = temp_dir_root();
  const std::string pid = std::to_string(::getpid());
  for (int attempt = 0; attempt < 64; ++attempt) {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const long long nanos = since_epoch.count() < 0 ? 0 : std::chrono::nanoseconds(since_epoch).count() % 1000000000;
    const std::string path =
        root + "/" + std::string(prefix) + "-" + pid + "-" + std::to_string(nanos) + "-" + std::to_string(attempt);
    if (::mkdir(path.c_str(), 0700) == 0) return TempDirGuard(path);
    if (errno != EEXIST) {
      return AgentError::resource("failed to create temp dir " + path + ": " + os_error_text(errno));
    }
  }
  return AgentError::resource("failed to create a unique temp dir after 64 attempts");
}

Result<std::optional<std::string>> read_file_opt(const std::string& path) {
  if (auto checked = require_no_nul(path); !checked) return std::move(checked).error();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<std::string>();
    return read_failed_error(path, errno);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return read_failed_error(path, error);
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!is_valid_utf8(text)) {
    return AgentError::resource("failed to read " + path + ": stream did not contain valid UTF-8");
  }
  return std::optional<std::string>(std::move(text));
}

std::string content_digest(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "sha256:";
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

Result<std::uint32_t> parse_mode(std::string_view text) {
  const auto invalid = [text] { return AgentError::resource("invalid mode: " + std::string(text)); };
  std::string_view digits = text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return invalid();
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '7') return invalid();
    value = value * 8 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) return invalid();
  }
  return static_cast<std::uint32_t>(value);
}

std::string format_mode(std::uint32_t mode) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04o", mode);
  return buffer;
}

std::optional<struct stat> stat_path(const std::string& path) {
  struct stat st {};
  if (!require_no_nul(path) || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

int create_dir_all(const std::string& path) {
  if (path.empty()) return 0;
  if (has_nul(path)) return EINVAL;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return error ? error.value() : 0;
}

int create_parent_dirs(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? 0 : create_dir_all(parent.string());
}

int remove_dir_all(const std::string& path) {
  if (has_nul(path)) return EINVAL;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  std::error_code error;
  std::filesystem::remove_all(path, error);
  return error ? error.value() : 0;
}

int remove_file(const std::string& path) {
  if (has_nul(path)) return EINVAL;
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace toln
