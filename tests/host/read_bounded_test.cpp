#include "host/read_bounded.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include "model/bundle_size.hpp"

namespace toln {
namespace {

// A memory file holding bytes (zero-filled up to size beyond them), read
// from its start.
UniqueFd memory_file(const std::string& bytes, std::size_t size = 0) {
  UniqueFd fd(::memfd_create("read-bounded-test", 0));
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(std::max(size, bytes.size()))), 0);
  EXPECT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  return fd;
}

std::string error_text(const Result<std::string>& result) {
  return result ? "(no error)" : display_agent_error(result.error());
}

TEST(ReadBounded, TheRealLimitIsAcceptedExactly) {
  EXPECT_EQ(kBundleSizeLimit, 67108864u);
  auto exact = read_bounded(memory_file("host", kBundleSizeLimit), kBundleSizeLimit);
  ASSERT_TRUE(exact) << error_text(exact);
  EXPECT_EQ(exact->size(), kBundleSizeLimit);
  EXPECT_EQ(exact->substr(0, 5), std::string("host\0", 5));

  auto over = read_bounded(memory_file("host", kBundleSizeLimit + 1), kBundleSizeLimit);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().kind(), AgentError::Config);
  EXPECT_EQ(error_text(over), "config error: input too large: exceeds 67108864 bytes");
}

TEST(ReadBounded, EndlessSourceStopsAfterLimitPlusOne) {
  UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(zero.valid());
  auto result = read_bounded(std::move(zero), 1000);
  EXPECT_EQ(error_text(result), "config error: input too large: exceeds 1000 bytes");
}

// The writer fills the pipe for as long as its read end is open; it ends
// when the reader has released the source (EPIPE), or gives up after a
// timeout, which the test reports.
TEST(ReadBounded, ReleasesAnEndlessPipeOnceLimitIsReached) {
  std::signal(SIGPIPE, SIG_IGN);
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  ASSERT_EQ(::fcntl(write_end.get(), F_SETFL, O_NONBLOCK), 0);
  std::atomic<std::size_t> written{0};
  std::atomic<bool> saw_broken_pipe{false};
  std::thread writer([&] {
    const std::string chunk(4096, 'a');
    while (true) {
      pollfd p{write_end.get(), POLLOUT, 0};
      if (::poll(&p, 1, 10000) <= 0) return;
      const ssize_t n = ::write(write_end.get(), chunk.data(), chunk.size());
      if (n < 0 && errno == EPIPE) {
        saw_broken_pipe = true;
        return;
      }
      if (n > 0) written += static_cast<std::size_t>(n);
    }
  });
  const std::size_t limit = 1 << 20;
  auto result = read_bounded(std::move(read_end), limit);
  writer.join();
  EXPECT_EQ(error_text(result), "config error: input too large: exceeds 1048576 bytes");
  EXPECT_TRUE(saw_broken_pipe);
  EXPECT_GT(written.load(), limit);
}

TEST(ReadBounded, SmallLimits) {
  struct Case {
    std::string input;
    std::size_t limit;
    std::string error;  // empty: the input comes back unchanged
  } cases[] = {
      {"", 16, ""},
      {"abcd", 4, ""},
      {"abcde", 4, "config error: input too large: exceeds 4 bytes"},
      {std::string("nul\0byte", 8), 16, ""},
      {"\xEF\xBB\xBFhost = \"h\"\r\n", 64, ""},
      // Size is judged before encoding.
      {"\xFF\xFF\xFF\xFF\xFF", 4, "config error: input too large: exceeds 4 bytes"},
      {"\xFF\xFF\xFF\xFF", 4, "parse error: input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& c : cases) {
    auto result = read_bounded(memory_file(c.input), c.limit);
    if (c.error.empty()) {
      ASSERT_TRUE(result) << error_text(result);
      EXPECT_EQ(*result, c.input);
    } else {
      EXPECT_EQ(error_text(result), c.error) << c.input;
    }
  }
}

TEST(ReadBounded, EncodingFaultsAtTheirOffsets) {
  struct Case {
    std::string input;
    std::string description;
  } cases[] = {
      {"abc\xFF" "def", "invalid utf-8 sequence of 1 bytes from index 3"},
      {"0123456789\xE2\x82", "incomplete utf-8 byte sequence from index 10"},
      {"ok \xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 3"},
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC3\xA9\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"x\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 1"},
      // The first fault is reported, not a later one.
      {"a\xE2\x82\x41 b\xFF", "invalid utf-8 sequence of 2 bytes from index 1"},
  };
  for (const auto& c : cases) {
    auto result = read_bounded(memory_file(c.input), 1024);
    ASSERT_FALSE(result) << c.description;
    EXPECT_EQ(result.error().kind(), AgentError::Parse);
    EXPECT_EQ(result.error().message(), "input is not valid UTF-8: " + c.description);
  }
}

TEST(ReadBounded, ReadErrorIsAnIoError) {
  UniqueFd dir(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir.valid());
  auto result = read_bounded(std::move(dir), 16);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), AgentError::Io);
  EXPECT_EQ(error_text(result), "Is a directory (os error 21)");
}

TEST(ReadBounded, ClosesItsSource) {
  UniqueFd file = memory_file("text");
  const int raw = file.get();
  auto result = read_bounded(std::move(file), 16);
  ASSERT_TRUE(result);
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace toln
