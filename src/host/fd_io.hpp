#pragma once
// The loops around read(2) and write(2): every read or write of a
// descriptor goes through them. A failed call gives AgentError::io with the
// errno (its text alone, for the caller to put in its own words); a call
// interrupted by a signal is retried.

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "model/result.hpp"

namespace toln {

// One read of at most size bytes: the count, 0 at the end.
Result<std::size_t> read_once(int fd, char* buffer, std::size_t size);

// Reads until the end or until max_bytes are read, whichever comes first:
// a caller that passes its limit + 1 sees an input over the limit as one.
// reserve_bytes (at most max_bytes) are reserved at once, so that an input
// that fits them is never copied while it grows.
Result<std::string> read_up_to(int fd, std::size_t max_bytes, std::size_t reserve_bytes);

// One positioned read of at most size bytes at offset: the count, 0 at the
// end.
Result<std::size_t> read_once_at(int fd, char* buffer, std::size_t size, off_t offset);

// Hands the whole file open as fd, from its start whatever the descriptor's
// offset, to piece (bool(std::string_view): whether to go on) in pieces of
// at most 64 KiB, until the end or until piece says stop.
template <class Piece>
Status read_pieces(int fd, Piece&& piece) {
  static_assert(std::is_same_v<std::invoke_result_t<Piece&, std::string_view>, bool>);
  char buffer[65536];
  for (off_t offset = 0;;) {
    auto got = read_once_at(fd, buffer, sizeof buffer, offset);
    if (!got) return std::move(got).error();
    if (*got == 0 || !piece(std::string_view(buffer, *got))) return {};
    offset += static_cast<off_t>(*got);
  }
}

// One write of at most data.size() bytes: the count. A write that takes
// nothing fails with "failed to write whole buffer".
Result<std::size_t> write_once(int fd, std::string_view data);

// Writes all of data.
Status write_whole(int fd, std::string_view data);

}  // namespace toln
