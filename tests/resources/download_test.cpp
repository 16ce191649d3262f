#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>

#include "resources/download_fixture.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

using DownloadResource = DownloadTest;

TEST_F(DownloadResource, FetchesVerifiesAndSetsModeAndOwnerOnce) {
  serve("tool-1.0", "#!/bin/sh\necho tool\n");
  const fs::path dest = scratch("opt/bin/tool");
  const std::string checksum = sha256_hex("#!/bin/sh\necho tool\n");
  const auto resource = download({{"url", text(url("tool-1.0"))},
                                  {"dest", text(dest)},
                                  {"checksum", text(checksum)},
                                  {"mode", text("0750")},
                                  {"owner", text("root")}});
  sandbox.run_in_process([&] {
    const auto dry = applied_download(resource, true);
    EXPECT_EQ(dry.status, ResourceStatus::Changed);
    EXPECT_EQ(dry.diff, "would download " + url("tool-1.0") + " -> " + dest.string());
    EXPECT_TRUE(sandbox.invocations().empty());
    EXPECT_FALSE(fs::exists(dest.parent_path()));

    const auto first = applied_download(resource, false);
    EXPECT_EQ(first.diff, "downloaded -> " + dest.string());
    EXPECT_TRUE(first.changes.empty());
    EXPECT_EQ(read_file(dest), "#!/bin/sh\necho tool\n");
    EXPECT_EQ(mode_of(dest), 0750u);
    EXPECT_EQ(lstat_of(dest).st_uid, 0u);
    EXPECT_EQ(dir_names(dest.parent_path()), std::vector<std::string>{"tool"});
    // curl writes to its standard output, a file the agent made.
    EXPECT_EQ(sandbox.invocations(),
              (std::vector<Invocation>{{"curl", "-fSL", "--connect-timeout", "30", "--speed-limit", "1024",
                                        "--speed-time", "30", "--proto-redir", "=http,https", url("tool-1.0")}}));
    sandbox.clear_invocations();
    EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
    EXPECT_TRUE(sandbox.invocations().empty());
  });
  EXPECT_EQ(server->requests(), std::vector<std::string>{"GET /tool-1.0"});
}

TEST_F(DownloadResource, ChecksumMismatchOfAnExistingFileDownloadsAgain) {
  serve("tool", "new");
  const fs::path dest = scratch("tool");
  const auto resource = download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"checksum", text(sha256_hex("new"))}});
  sandbox.run_in_process([&] {
    write_file(dest, "old");
    EXPECT_EQ(applied_download(resource, true).diff, "checksum mismatch (re-download)");
    EXPECT_EQ(read_file(dest), "old");
    EXPECT_EQ(applied_download(resource, false).diff, "checksum mismatch (re-download), downloaded -> " + dest.string());
    EXPECT_EQ(read_file(dest), "new");
    EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
  });
  EXPECT_EQ(server->requests(), std::vector<std::string>{"GET /tool"});
}

TEST_F(DownloadResource, FailedTransfersLeaveNothingAtDest) {
  serve("tool", "content");
  const fs::path dir = scratch("bin");
  sandbox.run_in_process([&] {
    fs::create_directories(dir);
    const auto fetch = [&](const std::string& from, std::optional<std::string> checksum) {
      TomlTable props = {{"url", text(from)}, {"dest", text(dir / "tool")}};
      if (checksum) props["checksum"] = text(*checksum);
      return error_of(apply_download(download(props), false));
    };
    const std::string upper = sha256_hex("content");
    std::string upper_case = upper;
    for (char& c : upper_case) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(fetch(url("tool"), upper_case),
              "resource error: checksum mismatch: expected " + upper_case + ", got " + upper);
    const std::string not_found = fetch(url("status/404"), std::nullopt);
    EXPECT_EQ(not_found.rfind("resource error: download failed: ", 0), 0u) << not_found;
    EXPECT_NE(not_found.find("404"), std::string::npos) << not_found;
    EXPECT_TRUE(fs::is_empty(dir));

    // A transfer cut short: curl writes part of the file and fails.
    sandbox.add_fake("curl", R"(printf partial; echo "curl: (18) transfer closed" >&2; exit 18)");
    EXPECT_EQ(fetch(url("tool"), std::nullopt), "resource error: download failed: curl: (18) transfer closed\n");
    EXPECT_TRUE(fs::is_empty(dir)) << "no partial file, no temporary file";

    sandbox.add_fake("curl", "PATH=/usr/bin:/bin exec curl \"$@\"");
    EXPECT_EQ(fetch(url("tool"), std::nullopt), "");
    EXPECT_EQ(dir_names(dir), std::vector<std::string>{"tool"});
    EXPECT_EQ(read_file(dir / "tool"), "content");
  });
}

// A server that drips: curl gives up after the low-speed bound (shortened
// here; the argument list above carries the real 30 seconds), and the
// resource fails with its error.
TEST_F(DownloadResource, StalledTransferEndsWithinTheLowSpeedBound) {
  const fs::path dest = scratch("tool");
  sandbox.run_in_process(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        const std::string error =
            error_of(apply_download(download({{"url", text(url("drip"))}, {"dest", text(dest)}}), false));
        const auto took = std::chrono::steady_clock::now() - start;
        // curl's progress meter comes first: the plain download is not silent.
        EXPECT_TRUE(error.starts_with("resource error: download failed: ")) << error;
        EXPECT_TRUE(error.ends_with("curl: (28) Operation too slow. Less than 1024 bytes/sec transferred the last " +
                                    std::to_string(kShortStallSeconds) + " seconds\n"))
            << error;
        EXPECT_GE(took, std::chrono::seconds(kShortStallSeconds));
        EXPECT_FALSE(fs::exists(dest));
      },
      short_stall_bound());
}

// Redirects stay within http and https, and an https URL never leads to
// plain http.
TEST_F(DownloadResource, RedirectsNeverDowngrade) {
  serve("tool", "content");
  const HttpServer tls(served(), Scheme::Https);
  const struct {
    std::string from;
    std::string error;  // the end of the error (after curl's progress meter); empty: downloaded
  } cases[] = {
      {tls.url("/redirect/tool"), ""},
      {url("redirect-to?" + tls.url("/tool")), ""},
      {url("redirect/tool"), ""},
      {tls.url("/redirect-to?" + url("tool")),
       "curl: (1) Protocol \"http\" not supported or disabled in libcurl\n"},
      // curl reads "https:/host" as an https URL too.
      {"HTTPS:/" + tls.url("/redirect-to?" + url("tool")).substr(std::string_view("https://").size()),
       "curl: (1) Protocol \"http\" not supported or disabled in libcurl\n"},
      {url("redirect-to?ftp://127.0.0.1:1/tool"),
       "curl: (1) Protocol \"ftp\" not supported or disabled in libcurl\n"},
  };
  const fs::path dir = scratch("bin");
  sandbox.run_in_process([&] {
    ASSERT_EQ(::setenv("CURL_CA_BUNDLE", kTestCaBundle, 1), 0);
    fs::create_directories(dir);
    for (const auto& c : cases) {
      const std::string error =
          error_of(apply_download(download({{"url", text(c.from)}, {"dest", text(dir / "tool")}}), false));
      if (c.error.empty()) {
        EXPECT_EQ(error, "") << c.from;
      } else {
        EXPECT_TRUE(error.starts_with("resource error: download failed: ") && error.ends_with(c.error))
            << c.from << ": " << error;
      }
      EXPECT_EQ(read_file(dir / "tool"), c.error.empty() ? std::optional<std::string>("content") : std::nullopt)
          << c.from;
      fs::remove(dir / "tool");
    }
  });
}

TEST_F(DownloadResource, ExistingFileWithoutChecksumIsNeverFetchedAgain) {
  const fs::path dest = scratch("tool");
  const auto resource =
      download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("0755")}, {"owner", text("0")}});
  sandbox.run_in_process([&] {
    write_file(dest, "mine", 0644);
    EXPECT_EQ(applied_download(resource, true).diff, "mode 0644 -> 0755, owner root -> 0");
    EXPECT_EQ(mode_of(dest), 0644u);
    EXPECT_EQ(applied_download(resource, false).diff, "mode 0644 -> 0755, owner root -> 0");
    EXPECT_EQ(mode_of(dest), 0755u);
    // A numeric owner never equals the listed name.
    EXPECT_EQ(applied_download(resource, false).diff, "owner root -> 0");
    EXPECT_EQ(read_file(dest), "mine");
    EXPECT_EQ(error_of(apply_download(download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("u+x")}}), false)),
              "resource error: invalid mode: u+x");
  });
  EXPECT_TRUE(server->requests().empty());
  EXPECT_TRUE(sandbox.invocations().empty());
}

// Without a mode a new file gets what curl would have given it; a mode is
// set on the file's descriptor, so it must be octal before anything is
// fetched.
TEST_F(DownloadResource, ModeOfANewFile) {
  serve("tool", "x");
  const fs::path dest = scratch("tool");
  sandbox.run_in_process([&] {
    ::umask(022);
    EXPECT_EQ(error_of(apply_download(
                  download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"mode", text("u+x")}}), false)),
              "resource error: invalid mode: u+x");
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(server->requests().empty());
    EXPECT_EQ(applied_download(download({{"url", text(url("tool"))}, {"dest", text(dest)}}), false).diff,
              "downloaded -> " + dest.string());
    EXPECT_EQ(mode_of(dest), 0644u);
  });
}

TEST_F(DownloadResource, AbsentRemovesTheFile) {
  const fs::path dest = scratch("tool");
  const auto absent = download({{"url", text("http://unused.invalid/")}, {"dest", text(dest)}, {"state", text("absent")}});
  sandbox.run_in_process([&] {
    EXPECT_EQ(applied_download(absent, false).status, ResourceStatus::Ok);
    write_file(dest, "x");
    EXPECT_EQ(applied_download(absent, true).diff, "would remove " + dest.string());
    EXPECT_TRUE(fs::exists(dest));
    EXPECT_EQ(applied_download(absent, false).diff, "removed " + dest.string());
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_EQ(error_of(apply_download(download({{"dest", text(dest)}, {"state", text("absent")}}), false)),
              "resource error: download resource requires 'url'");
  });
  EXPECT_TRUE(sandbox.invocations().empty());
}

TEST_F(DownloadResource, RefusalsBeforeAnythingRuns) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "target", "target");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    for (bool dry_run : {true, false}) {
      // Missing contents behind a link are never written through it.
      EXPECT_EQ(error_of(apply_download(download({{"url", text(url("x"))}, {"dest", text(dir / "dangling")}}), dry_run)),
                "resource error: refusing to download to " + (dir / "dangling").string() + ": path is a symlink");
      for (const auto& checksum : {TomlValue{std::int64_t{1}}, TomlValue{true}}) {
        EXPECT_EQ(error_of(apply_download(download({{"url", text(url("x.tgz"))},
                                                    {"dest", text(dir / "tool")},
                                                    {"extract", boolean(true)},
                                                    {"checksum", checksum}}),
                                          dry_run)),
                  "resource error: download with extract = true requires a `checksum` (extracting an archive as root "
                  "requires pinning its exact bytes)");
      }
    }
    EXPECT_EQ(error_of(apply_download(download({{"url", text(url("x"))}}), true)),
              "resource error: download resource requires 'dest'");
    for (bool dry_run : {true, false}) {
      EXPECT_EQ(error_of(apply_download(download({{"url", text(url("x"))}, {"dest", text("-R")}}), dry_run)),
                "resource error: download resource: 'dest' must not begin with '-': -R");
      EXPECT_EQ(error_of(apply_download(download({{"url", text("-K" + (dir / "target").string())},
                                                  {"dest", text(dir / "tool")}}),
                                        dry_run)),
                "resource error: download resource: 'url' must not begin with '-': -K" + (dir / "target").string());
      EXPECT_EQ(error_of(apply_download(download({{"url", text(std::string("http://a\0-K", 11))},
                                                  {"dest", text(dir / "tool")}}),
                                        dry_run)),
                "resource error: download resource: 'url' contains a NUL byte");
    }
    EXPECT_FALSE(fs::exists(dir / "tool"));
    EXPECT_EQ(read_file(dir / "target"), "target");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
  });
  EXPECT_TRUE(sandbox.invocations().empty());
  EXPECT_TRUE(server->requests().empty());
}

// A dest that ends in "/", "." or ".." names a directory: no file is made
// under the name before it, nor a directory on the way, and none is removed.
TEST_F(DownloadResource, DestNamingADirectoryIsNeverWritten) {
  serve("tool", "x");
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "file", "old");
    for (const std::string& dest : {(dir / "new").string() + "/", (dir / "sub/new").string() + "//",
                                   (dir / "sub/new/.").string(), (dir / "sub/new/..").string(),
                                   (dir / "file").string() + "/"}) {
      for (const char* state : {"present", "absent"}) {
        for (bool dry_run : {true, false}) {
          EXPECT_EQ(error_of(apply_download(
                        download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"state", text(state)}}), dry_run)),
                    "resource error: " + dest + " is not a regular file")
              << state;
        }
      }
    }
    EXPECT_FALSE(fs::exists(dir / "new"));
    EXPECT_FALSE(fs::exists(dir / "sub"));
    EXPECT_EQ(read_file(dir / "file"), "old");
  });
  EXPECT_TRUE(server->requests().empty());
}

// Downloads of some GiB stay in state without a new transfer: root's file is
// hashed whatever its size up to 1 TiB, holes or not (a file system that
// compresses keeps runs of zeros as holes), and so is the wanted owner's
// without holes. The wanted owner's with holes was not written by a
// transfer: it is fetched again unread, and the new one is in state. A
// stand-in of 128 MiB, past the 64 MiB that bounds what is read of a text
// file, takes the path a 4 GiB file takes.
TEST_F(DownloadResource, LargeDownloadsInStateAreNotFetchedAgain) {
  constexpr off_t kSize = off_t{128} << 20;
  const std::string zeros = sha256_hex(std::string(kSize, '\0'));
  write_file(served() / "zeros", "");
  ASSERT_EQ(::truncate((served() / "zeros").c_str(), kSize), 0);
  const fs::path dest = scratch("zeros");
  const struct {
    std::string name;
    uid_t uid;
    bool holes;
    std::string diff;  // of the first run; the second is ok
  } cases[] = {
      {"root's, with holes", 0, true, ""},
      {"the wanted owner's, allocated", 65534, false, ""},
      {"the wanted owner's, with holes", 65534, true,
       "checksum mismatch (re-download), downloaded -> " + dest.string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox.run_in_process([&] {
      const int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      const int made = c.holes ? ::ftruncate(fd, kSize) : ::posix_fallocate(fd, 0, kSize);
      ::close(fd);
      ASSERT_EQ(made, 0);
      ASSERT_EQ(::chown(dest.c_str(), c.uid, c.uid), 0);
      TomlTable props = {{"url", text(url("zeros"))}, {"dest", text(dest)}, {"checksum", text(zeros)}};
      if (c.uid != 0) props["owner"] = text("nobody");
      const auto first = applied_download(download(props), false);
      EXPECT_EQ(first.diff.value_or(""), c.diff);
      EXPECT_EQ(lstat_of(dest).st_uid, c.uid);
      EXPECT_EQ(applied_download(download(props), false).status, ResourceStatus::Ok);
    });
  }
  EXPECT_EQ(server->requests(), std::vector<std::string>{"GET /zeros"});
}

// The temporary name beside dest is cut to fit the file-name limit.
TEST_F(DownloadResource, NamesUpToTheFileNameLimit) {
  serve("tool", "x");
  for (const std::size_t length : {240u, 250u, 255u}) {
    const fs::path dest = scratch("long") / std::string(length, 'n');
    const auto resource = download({{"url", text(url("tool"))}, {"dest", text(dest)}, {"checksum", text(sha256_hex("x"))}});
    sandbox.run_in_process([&] {
      EXPECT_EQ(applied_download(resource, false).diff, "downloaded -> " + dest.string());
      EXPECT_EQ(read_file(dest), "x");
      EXPECT_EQ(applied_download(resource, false).status, ResourceStatus::Ok);
      fs::remove(dest);
    });
  }
}

TEST_F(DownloadResource, ParentThatCannotBeMade) {
  const fs::path dir = sandbox.scratch_dir();
  sandbox.run_in_process([&] {
    write_file(dir / "blocker", "x");
    EXPECT_EQ(error_of(apply_download(download({{"url", text(url("x"))}, {"dest", text(dir / "blocker/sub/tool")}}), false)),
              "resource error: failed to create directory: Not a directory (os error 20)");
  });
  EXPECT_TRUE(sandbox.invocations().empty());
}

}  // namespace
}  // namespace toln
