#include <sys/mount.h>
#include <sys/stat.h>

#include "resources/download_fixture.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;

using DownloadArchive = DownloadTest;

const std::string kToolArchive = R"([
  {"name": "README", "kind": "file", "data": "read me"},
  {"name": "tool", "kind": "file", "data": "#!/bin/sh\necho v1\n", "mode": "755"},
  {"name": "lib", "kind": "dir"},
  {"name": "lib/tool", "kind": "file", "data": "nested"}
])";

ResolvedResource extract(const std::string& from, const fs::path& dest, const std::string& checksum) {
  return download({{"url", text(from)}, {"dest", text(dest)}, {"extract", boolean(true)}, {"checksum", text(checksum)}});
}

TEST_F(DownloadArchive, InstallsTheFileNamedLikeDestFromEitherFormat) {
  for (const std::string name : {"tool-1.0.tar.gz", "tool-1.0.tgz", "tool-1.0.zip"}) {
    SCOPED_TRACE(name);
    const std::string checksum = serve_archive(name, kToolArchive);
    const fs::path dest = scratch("opt-" + name + "/bin/tool");
    sandbox.clear_invocations();
    sandbox.run_in_process([&] {
      ::umask(022);
      const auto result = applied_download(extract(url(name), dest, checksum), false);
      EXPECT_EQ(result.diff, "downloaded and extracted -> " + dest.string());
      EXPECT_EQ(read_file(dest), "#!/bin/sh\necho v1\n");
      EXPECT_EQ(mode_of(dest), 0755u);
      EXPECT_EQ(dir_names(dest.parent_path()), std::vector<std::string>{"tool"});
      EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir())) << "both temporary directories are gone";

      const auto calls = sandbox.invocations();
      ASSERT_EQ(calls.size(), 2u);
      EXPECT_EQ(calls[0], (Invocation{"curl", "-fSL", "-m", "300", "--max-filesize", "536870912", "--connect-timeout",
                                      "30", "--speed-limit", "1024", "--speed-time", "30", "--proto-redir",
                                      "=http,https", url(name)}));
      const std::string extract_dir = calls[1].back();
      EXPECT_EQ(fs::path(extract_dir).filename().string().rfind("toln-extract-", 0), 0u);
      const std::string archive = calls[1][name.ends_with(".zip") ? 2 : 5];
      const std::string download_dir = fs::path(archive).parent_path();
      EXPECT_EQ(fs::path(download_dir).parent_path(), sandbox.tmp_dir());
      EXPECT_EQ(fs::path(archive).filename(), "archive");
      // mkdtemp's name: the prefix and six unpredictable characters.
      EXPECT_EQ(fs::path(download_dir).filename().string().rfind("toln-download-", 0), 0u);
      EXPECT_EQ(fs::path(download_dir).filename().string().size(), 20u);
      if (name.ends_with(".zip")) {
        EXPECT_EQ(calls[1], (Invocation{"unzip", "-o", archive, "-d", extract_dir}));
      } else {
        EXPECT_EQ(calls[1], (Invocation{"tar", "--no-same-owner", "--no-same-permissions", "--no-overwrite-dir", "-xzf",
                                        archive, "-C", extract_dir}));
      }
    });
  }
}

TEST_F(DownloadArchive, SecondRunComparesTheInstalledFileAndIsOk) {
  const std::string v1 = serve_archive("tool.tar.gz", kToolArchive);
  const fs::path dest = scratch("bin/tool");
  sandbox.run_in_process([&] {
    ASSERT_EQ(applied_download(extract(url("tool.tar.gz"), dest, v1), false).status, ResourceStatus::Changed);
    struct stat before = lstat_of(dest);
    sandbox.clear_invocations();

    const auto second = applied_download(extract(url("tool.tar.gz"), dest, v1), false);
    EXPECT_EQ(second.status, ResourceStatus::Ok);
    EXPECT_EQ(lstat_of(dest).st_ino, before.st_ino) << "not installed again";

    // Edited by hand: put back, in dry-run only reported.
    write_file(dest, "edited");
    EXPECT_EQ(applied_download(extract(url("tool.tar.gz"), dest, v1), true).diff,
              "would download " + url("tool.tar.gz") + " -> " + dest.string());
    EXPECT_EQ(read_file(dest), "edited");
    const std::size_t fetched = server->requests().size();
    EXPECT_EQ(applied_download(extract(url("tool.tar.gz"), dest, v1), false).diff,
              "downloaded and extracted -> " + dest.string());
    EXPECT_EQ(server->requests().size(), fetched + 1) << "the archive compared is the one installed";
    EXPECT_EQ(read_file(dest), "#!/bin/sh\necho v1\n");
    EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir()));
  });

  // A new release pinned by a new checksum replaces the file.
  const std::string v2 = serve_archive("tool.tar.gz", R"([{"name": "tool", "kind": "file", "data": "v2"}])");
  sandbox.run_in_process([&] {
    const auto upgraded =
        download({{"url", text(url("tool.tar.gz"))}, {"dest", text(dest)}, {"extract", boolean(true)},
                  {"checksum", text(v2)}, {"mode", text("0700")}});
    EXPECT_EQ(applied_download(upgraded, false).diff, "downloaded and extracted -> " + dest.string());
    EXPECT_EQ(read_file(dest), "v2");
    EXPECT_EQ(mode_of(dest), 0700u);
    EXPECT_EQ(applied_download(upgraded, false).status, ResourceStatus::Ok);
  });
}

TEST_F(DownloadArchive, OldChecksumAgainstANewArchiveFailsAndKeepsTheFile) {
  const std::string v1 = serve_archive("tool.tgz", kToolArchive);
  const fs::path dest = scratch("tool");
  sandbox.run_in_process([&] {
    ASSERT_EQ(applied_download(extract(url("tool.tgz"), dest, v1), false).status, ResourceStatus::Changed);
  });
  const std::string v2 = serve_archive("tool.tgz", R"([{"name": "tool", "kind": "file", "data": "v2"}])");
  sandbox.run_in_process([&] {
    EXPECT_EQ(error_of(apply_download(extract(url("tool.tgz"), dest, v1), false)),
              "resource error: checksum mismatch: expected " + v1 + ", got " + v2);
    EXPECT_EQ(read_file(dest), "#!/bin/sh\necho v1\n");
    EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir()));
  });
}

TEST_F(DownloadArchive, ArchiveErrors) {
  const std::string tar_sum = serve_archive("nested.tar.gz", R"([{"name": "dir", "kind": "dir"},
    {"name": "dir/tool", "kind": "file", "data": "deep"}, {"name": "other", "kind": "file", "data": "x"}])");
  const std::string zip_sum = serve_archive("tool.zip", kToolArchive);
  write_file(served() / "tool.ZIP", read_file(served() / "tool.zip").value_or(""));
  const fs::path dest = scratch("bin/tool");
  sandbox.run_in_process([&] {
    const std::string no_member = error_of(apply_download(extract(url("nested.tar.gz"), dest, tar_sum), false));
    EXPECT_TRUE(no_member == "resource error: no extracted file named 'tool' (archive contained: dir, other). Set "
                             "`dest` to one of these names so toln knows which file to install." ||
                no_member == "resource error: no extracted file named 'tool' (archive contained: other, dir). Set "
                             "`dest` to one of these names so toln knows which file to install.")
        << no_member;
    for (const std::string& from : {url("tool.ZIP"), url("tool.zip?version=1")}) {
      EXPECT_EQ(error_of(apply_download(extract(from, dest, zip_sum), false)),
                "resource error: unsupported archive format for " + from + ". Supported: .zip, .tar.gz, .tgz");
    }
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir()));
  });
  // The format is judged after the download and its check.
  EXPECT_EQ(server->requests(),
            (std::vector<std::string>{"GET /nested.tar.gz", "GET /tool.ZIP", "GET /tool.zip?version=1"}));
}

// The copy into dest's file system fails with the cause of the failed
// write, and leaves nothing behind.
TEST_F(DownloadArchive, FailedCopyKeepsItsCause) {
  const std::string members = R"([{"name": "tool", "kind": "file", "data": ")" + std::string(1 << 20, 'x') + R"("}])";
  const std::string checksum = serve_archive("big.tar.gz", members);
  const fs::path small = scratch("small");
  fs::create_directory(small);
  sandbox.run_in_process([&] {
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k"), 0);
    EXPECT_EQ(error_of(apply_download(extract(url("big.tar.gz"), small / "tool", checksum), false)),
              "resource error: failed to copy extracted file to " + (small / "tool").string() +
                  ": No space left on device (os error 28)");
    EXPECT_TRUE(fs::is_empty(small));
    EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir()));
  });
}

// Hostile archives: whatever the unpackers make of them stays inside the
// private extraction directory, and nothing but a regular file inside it is
// installed.
TEST_F(DownloadArchive, HostileArchivesChangeNothingOutside) {
  const fs::path outside = scratch("outside");
  const std::string out = outside.string();
  struct Case {
    std::string name;
    std::string members;
    std::string error_start;
    std::string error_end;
  } cases[] = {
      {"escape.tar.gz",
       R"([{"name": ")" + out + R"(/abs", "kind": "file", "data": "abs"},
           {"name": "../dotdot", "kind": "file", "data": "dd"},
           {"name": "esc", "kind": "symlink", "target": ")" + out + R"("},
           {"name": "esc/through", "kind": "file", "data": "through"},
           {"name": "tool", "kind": "file", "data": "tool"}])",
       "resource error: tar extract failed: ", ""},
      {"escape.zip",
       R"([{"name": ")" + out + R"(/abs", "kind": "file", "data": "abs"},
           {"name": "../dotdot", "kind": "file", "data": "dd"},
           {"name": "esc", "kind": "symlink", "target": ")" + out + R"("},
           {"name": "esc/through", "kind": "file", "data": "through"},
           {"name": "tool", "kind": "file", "data": "tool"}])",
       "resource error: unzip failed: ", ""},
      {"link.tar.gz", R"([{"name": "tool", "kind": "symlink", "target": ")" + out + R"(/secret"}])",
       "resource error: refusing to install '", "/tool': extracted path escapes the extraction directory"},
      // From TMPDIR/toln-extract-*/tool up to the sandbox and down again.
      {"relative-link.zip", R"([{"name": "tool", "kind": "symlink", "target": "../../scratch/outside/secret"}])",
       "resource error: refusing to install '", "/tool': extracted path escapes the extraction directory"},
      {"link.zip", R"([{"name": "tool", "kind": "symlink", "target": ")" + out + R"(/secret"}])",
       "resource error: refusing to install '", "/tool': extracted path escapes the extraction directory"},
      {"fifo.tar.gz", R"([{"name": "tool", "kind": "fifo"}])", "resource error: refusing to install '",
       "/tool': extracted entry is not a regular file"},
      {"dir.tar.gz", R"([{"name": "tool", "kind": "dir"}])", "resource error: refusing to install '",
       "/tool': extracted entry is not a regular file"},
  };
  write_file(outside / "secret", "secret");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string checksum = serve_archive(c.name, c.members);
    const fs::path dest = scratch("bin/tool");
    sandbox.run_in_process([&] {
      const std::string error = error_of(apply_download(extract(url(c.name), dest, checksum), false));
      EXPECT_EQ(error.rfind(c.error_start, 0), 0u) << error;
      EXPECT_TRUE(error.ends_with(c.error_end)) << error;
      EXPECT_FALSE(fs::exists(dest));
      EXPECT_EQ(dir_names(outside), std::vector<std::string>{"secret"});
      EXPECT_EQ(read_file(outside / "secret"), "secret");
      EXPECT_FALSE(fs::exists(scratch("dotdot")));
      EXPECT_FALSE(fs::exists(sandbox.tmp_dir().parent_path() / "dotdot"));
      EXPECT_TRUE(fs::is_empty(sandbox.tmp_dir()));
    });
  }
}

}  // namespace
}  // namespace toln
