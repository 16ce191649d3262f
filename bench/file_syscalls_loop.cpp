// The bare system calls of the file benchmark, for comparison with whole
// toln-agent runs: file_syscalls_loop noop|create DIR COUNT.
//   noop:   per file, stat it and read it whole (and compare the bytes);
//   create: per file, write a temporary file, fsync it, rename it over the
//           file and fsync the directory.
// The contents are those the benchmark declares: content_of(i).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "file_bench_content.hpp"

namespace {

bool noop(const std::string& dir, int count) {
  char buffer[65536];
  for (int i = 0; i < count; ++i) {
    const std::string path = toln::bench::file_path(dir, i);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    if (text != toln::bench::content_of(i)) return false;
  }
  return true;
}

bool create(const std::string& dir, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string path = toln::bench::file_path(dir, i);
    const std::string temp = path + ".tmp";
    const std::string content = toln::bench::content_of(i);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                         ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) return false;
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0 || ::fsync(dir_fd) != 0) return false;
    ::close(dir_fd);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: file_syscalls_loop noop|create DIR COUNT\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int count = std::atoi(argv[3]);
  const bool done = mode == "noop" ? noop(argv[2], count) : mode == "create" && create(argv[2], count);
  return done ? 0 : 1;
}
