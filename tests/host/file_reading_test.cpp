#include "host/file_reading.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/temp_dir.hpp"
#include "host/sha256.hpp"
#include "host/unique_fd.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::error_of;
using testing::TempDir;
using testing::write_file;

TEST(ReadFileOpt, MissingTextInvalidAndDirectory) {
  TempDir dir("toln-read");
  write_file(dir.path() / "text", "caf\xc3\xa9\n");
  write_file(dir.path() / "binary", "a\xff");
  auto text = read_file_opt(dir.path() / "text");
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "caf\xc3\xa9\n");
  auto missing = read_file_opt(dir.path() / "missing");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  EXPECT_EQ(error_of(read_file_opt(dir.path() / "binary")),
            "resource error: failed to read " + (dir.path() / "binary").string() +
                ": stream did not contain valid UTF-8");
  EXPECT_EQ(error_of(read_file_opt(dir.path())),
            "resource error: failed to read " + dir.path().string() + ": Is a directory (os error 21)");
}

TEST(ReadFileOpt, OnlyRegularFilesAreRead) {
  TempDir dir("toln-read");
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  for (const std::string& path : {(dir.path() / "fifo").string(), std::string("/dev/zero")}) {
    EXPECT_EQ(error_of(read_file_opt(path)), "resource error: failed to read " + path + ": not a regular file");
  }
}

TEST(CompareContents, ReadsInPiecesAndHashesOnlyADifference) {
  TempDir dir("toln-compare");
  const std::string big(200000, 'a');
  std::string split_char = std::string(65535, 'a') + "\xc3\xa9";  // a character across two reads
  struct Case {
    std::string name;
    std::string file;
    std::string wanted;
    bool equal;
    bool utf8;
  } cases[] = {
      {"equal", big, big, true, true},
      {"empty", "", "", true, true},
      {"shorter", big.substr(1), big, false, true},
      {"longer", big + "a", big, false, true},
      {"one byte in the middle", big.substr(0, 150000) + "b" + big.substr(150001), big, false, true},
      {"character across reads", split_char, big, false, true},
      {"cut inside a character", split_char.substr(0, 65536), split_char, false, false},
      {"invalid after an equal start", big + "\xff", big, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir.path() / "f", c.file);
    const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDONLY | O_CLOEXEC));
    const auto compared = compare_contents(fd.get(), c.file.size(), c.wanted);
    if (!c.utf8) {
      ASSERT_FALSE(compared);
      EXPECT_EQ(compared.error().message(), "stream did not contain valid UTF-8");
      continue;
    }
    ASSERT_TRUE(compared) << compared.error().message();
    const auto& check = *compared;
    EXPECT_EQ(check.equal, c.equal);
    EXPECT_EQ(check.current_digest, c.equal ? std::nullopt : std::optional(content_digest(c.file)));
  }
}

// The size taken on the descriptor is the file compared: once that many
// bytes were the wanted text, the end is not looked for again (a no-op run
// reads each file once). Bytes added since show where the same read
// brings them.
TEST(CompareContents, TheSizeTakenIsTheFileCompared) {
  TempDir dir("toln-compare");
  const std::string piece(65536, 'a');
  const struct {
    std::string name;
    std::string file;
    std::string wanted;  // as long as the size taken
    bool equal;
  } cases[] = {
      {"grown within the last read", "short" + std::string("tail"), "short", false},
      {"grown past a whole read", piece + "tail", piece, true},
      {"shrunk", "shor", "short", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir.path() / "f", c.file);
    const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDONLY | O_CLOEXEC));
    const auto compared = compare_contents(fd.get(), c.wanted.size(), c.wanted);
    ASSERT_TRUE(compared) << compared.error().message();
    EXPECT_EQ(compared->equal, c.equal);
    EXPECT_EQ(compared->current_digest, c.equal ? std::nullopt : std::optional(content_digest(c.file)));
  }
}

// A sparse file costs its owner nothing: past 64 MiB a file is never read
// for its digest (1 TiB here would take the rest of the test's time), and
// one that grows past it while it is read is not read further.
TEST(CompareContents, FilesPast64MiBAreNotHashed) {
  TempDir dir("toln-compare");
  constexpr std::uint64_t kBound = std::uint64_t{64} << 20;
  const struct {
    std::string name;
    std::uint64_t size;       // of the file
    std::uint64_t told_size;  // as found before the read
  } cases[] = {
      {"a TiB", std::uint64_t{1} << 40, std::uint64_t{1} << 40},
      {"just past the bound", kBound + 1, kBound + 1},
      {"grown past the bound", kBound + 1, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(c.size)), 0);
    const auto compared = compare_contents(fd.get(), c.told_size, "small");
    ASSERT_TRUE(compared) << compared.error().message();
    EXPECT_FALSE(compared->equal);
    EXPECT_FALSE(compared->current_digest);
  }
  // At the bound the digest is still taken.
  const UniqueFd fd(::open((dir.path() / "f").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(kBound)), 0);
  const auto compared = compare_contents(fd.get(), kBound, "small");
  ASSERT_TRUE(compared) << compared.error().message();
  EXPECT_EQ(compared->current_digest, content_digest(std::string(kBound, '\0')));
}

}  // namespace
}  // namespace toln
