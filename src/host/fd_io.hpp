#pragma once
// Writing a whole buffer to a descriptor, and reading a whole file in pieces.

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

namespace toln {

// write_all's outcome when a write accepted no bytes.
inline constexpr int kWroteNothing = -1;

// Writes all of data, retrying writes interrupted by a signal: 0, the errno
// of a failed write, or kWroteNothing.
int write_all(int fd, std::string_view data);

// The outcome of a failed write_all as text: the OS error's text, or
// "failed to write whole buffer".
std::string write_failure_text(int outcome);

// Hands the whole file open as fd, from its start whatever the descriptor's
// offset, to piece in bounded pieces; stops early when piece returns a
// nonzero value and gives it back. 0, that value, or a read's errno.
template <class Piece>
int read_each_piece(int fd, Piece&& piece) {
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    if (const int stop = piece(std::string_view(buffer, static_cast<std::size_t>(got))); stop != 0) return stop;
    offset += got;
  }
}

}  // namespace toln
