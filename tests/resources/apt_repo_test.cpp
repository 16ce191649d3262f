// apt_repo in the sandbox: the list and key files land in the overlaid /etc.
// The suite is remembered per process, so every case runs the agent or
// calls the handler in a forked copy; this test process never detects it.
#include "resources/apt_repo.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "harness/http_server.hpp"
#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using testing::HttpServer;
using testing::Invocation;
using testing::RunResult;
using testing::Sandbox;
using testing::error_of;
using testing::kShortStallSeconds;
using testing::short_stall_bound;
using testing::text;

const std::string kKeyring = "/etc/apt/keyrings/example.asc";
const std::string kList = "/etc/apt/sources.list.d/example.list";
const std::string kKeyUrl = "https://pkg.example.com/key.asc";
const std::string kLine =
    "deb [arch=amd64 signed-by=/etc/apt/keyrings/example.asc] https://pkg.example.com/debian bookworm stable";

// Scenario in $TOLN_FAKE_STATE: "lsb-fail-once" makes the next lsb_release
// fail, "lsb-output" replaces its answer; "curl-fail" makes curl leave part
// of a key and fail; "update-fail" makes apt-get update fail with the file
// on standard error.
constexpr std::string_view kLsbRelease = R"~(S="$TOLN_FAKE_STATE"
[ "$*" = -cs ] || exit 2
if [ -e "$S/lsb-fail-once" ]; then rm "$S/lsb-fail-once"; echo "lsb_release: not found" >&2; exit 1; fi
if [ -e "$S/lsb-output" ]; then cat "$S/lsb-output"; else printf ' bookworm\n'; fi)~";
constexpr std::string_view kCurl = R"~(S="$TOLN_FAKE_STATE"
[ "$1 $2" = "-fsSL -o" ] || exit 2
for url; do :; done
if [ -e "$S/curl-fail" ]; then printf -- '-----BEGIN PGP' > "$3"; echo "curl: (18) transfer closed" >&2; exit 18; fi
printf 'key from %s\n' "$url" > "$3")~";
constexpr std::string_view kAptGet = R"~(S="$TOLN_FAKE_STATE"
[ "$*" = "update -qq" ] || exit 2
if [ -e "$S/update-fail" ]; then cat "$S/update-fail" >&2; exit 100; fi)~";

ResolvedResource apt_repo(TomlTable props, std::string name = "repo") {
  ResolvedResource r;
  r.resource_type = "apt_repo";
  r.name = std::move(name);
  r.props = std::move(props);
  return r;
}

TomlTable example(TomlTable extra = {}) {
  TomlTable props = {{"name", text("example")},
                     {"url", text("https://pkg.example.com/debian")},
                     {"gpg_key", text(kKeyUrl)}};
  for (auto& [key, value] : extra) props[key] = value;
  return props;
}

constexpr std::string_view kBundle = R"(host = "h"
[[resources]]
resource_type = "apt_repo"
name = "example"
props = { name = "example", url = "https://pkg.example.com/debian", gpg_key = "https://pkg.example.com/key.asc" }
)";

class AptRepo : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_fake("lsb_release", kLsbRelease);
    sandbox.add_fake("curl", kCurl);
    sandbox.add_fake("apt-get", kAptGet);
    // Logged, then the real programs on the overlay.
    sandbox.add_fake("mkdir", "exec /bin/mkdir \"$@\"");
    sandbox.add_fake("chmod", "exec /bin/chmod \"$@\"");
    sandbox.add_fake("restorecon", "exit 0");
  }
  void set_state(const std::string& file, const std::string& content = "") {
    std::ofstream(sandbox.state_dir() / file) << content;
  }
  Sandbox sandbox;
};

const std::vector<Invocation> kFirstRunCommands = {
    {"lsb_release", "-cs"},
    {"mkdir", "-p", "/etc/apt/keyrings"},
    {"curl", "-fsSL", "-o", kKeyring, "--connect-timeout", "30", "--speed-limit", "1024", "--speed-time", "30",
     "--proto-redir", "=https", kKeyUrl},
    {"chmod", "a+r", kKeyring},
    {"restorecon", kList},
    {"apt-get", "update", "-qq"},
};

TEST_F(AptRepo, FirstRunWritesKeyAndListThenOnlyAsksForTheSuite) {
  const RunResult first = sandbox.run_agent({}, std::string(kBundle));
  EXPECT_EQ(first.out,
            R"({"host":"h","resources":[{"type":"apt_repo","name":"example","status":"changed",)"
            R"("diff":"gpg key → /etc/apt/keyrings/example.asc, repo → /etc/apt/sources.list.d/example.list"}],)"
            R"("summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(sandbox.invocations(), kFirstRunCommands);
  EXPECT_EQ(sandbox.read_upper(kList), kLine + "\n");
  EXPECT_EQ(sandbox.read_upper(kKeyring), "key from " + kKeyUrl + "\n");
  struct stat key {};
  ASSERT_EQ(::stat(sandbox.upper_path(kKeyring).c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0444, 0444u);

  sandbox.clear_invocations();
  const RunResult second = sandbox.run_agent({}, std::string(kBundle));
  EXPECT_EQ(second.exit_status, 1) << second.out << second.err;
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"lsb_release", "-cs"}}));
}

TEST_F(AptRepo, DryRunOnlyAsksForTheSuite) {
  const RunResult run = sandbox.run_agent({"--dry-run"}, std::string(kBundle));
  EXPECT_EQ(run.out,
            R"({"host":"h","resources":[{"type":"apt_repo","name":"example","status":"changed",)"
            R"("diff":"gpg key → /etc/apt/keyrings/example.asc, repo → /etc/apt/sources.list.d/example.list"}],)"
            R"("summary":{"changed":1,"ok":0,"failed":0,"skipped":0}})"
            "\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"lsb_release", "-cs"}}));
  EXPECT_FALSE(sandbox.read_upper(kList));
  EXPECT_FALSE(sandbox.read_upper(kKeyring));
}

TEST_F(AptRepo, RealCurlFetchesTheKeyAndReportsServerErrors) {
  sandbox.add_fake("curl", "exec /usr/bin/curl \"$@\"");
  const fs::path served = sandbox.scratch_dir() / "served";
  fs::create_directory(served);
  std::ofstream(served / "key.asc") << "-----BEGIN PGP PUBLIC KEY BLOCK-----\n";
  HttpServer server(served);
  const std::string good = server.url("/key.asc");
  const std::string bad = server.url("/status/500");
  sandbox.run_in_process([&] {
    auto fetched = apply_apt_repo(apt_repo(example({{"gpg_key", text(good)}, {"suite", text("bookworm")}})), false);
    ASSERT_TRUE(fetched) << error_of(fetched);
    EXPECT_EQ(fetched->status, ResourceStatus::Changed);

    auto failed = apply_apt_repo(apt_repo(example({{"name", text("other")}, {"gpg_key", text(bad)}})), false);
    EXPECT_TRUE(error_of(failed).starts_with("resource error: failed to download GPG key from " + bad + ": curl: (22)"))
        << error_of(failed);
  });
  EXPECT_EQ(sandbox.read_upper(kKeyring), "-----BEGIN PGP PUBLIC KEY BLOCK-----\n");
  EXPECT_FALSE(sandbox.read_upper("/etc/apt/keyrings/other.asc"));
  EXPECT_FALSE(sandbox.read_upper("/etc/apt/sources.list.d/other.list")) << "the list is not touched";
}

// A key server that drips: curl gives up after the low-speed bound
// (shortened here; the argument list above carries the real 30 seconds), and
// the resource fails with its error.
TEST_F(AptRepo, StalledKeyDownloadEndsWithinTheLowSpeedBound) {
  sandbox.add_fake("curl", "exec /usr/bin/curl \"$@\"");
  const fs::path served = sandbox.scratch_dir() / "served";
  fs::create_directory(served);
  HttpServer server(served);
  const std::string drip = server.url("/drip");
  sandbox.run_in_process(
      [&] {
        const auto start = std::chrono::steady_clock::now();
        auto stalled =
            apply_apt_repo(apt_repo(example({{"gpg_key", text(drip)}, {"suite", text("bookworm")}})), false);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(error_of(stalled), "resource error: failed to download GPG key from " + drip +
                                         ": curl: (28) Operation too slow. Less than 1024 bytes/sec transferred the "
                                         "last " +
                                         std::to_string(kShortStallSeconds) + " seconds\n");
        EXPECT_GE(took, std::chrono::seconds(kShortStallSeconds));
      },
      short_stall_bound());
  EXPECT_FALSE(sandbox.read_upper(kKeyring)) << "no part of a key is left";
  EXPECT_FALSE(sandbox.read_upper(kList));
}

TEST_F(AptRepo, InterruptedKeyDownloadLeavesNoKeyBehind) {
  set_state("curl-fail");
  const RunResult failed = sandbox.run_agent({}, std::string(kBundle));
  EXPECT_EQ(failed.out,
            R"({"host":"h","resources":[{"type":"apt_repo","name":"example","status":"failed",)"
            R"("error":"resource error: failed to download GPG key from https://pkg.example.com/key.asc: curl: (18) transfer closed\n"}],)"
            R"("summary":{"changed":0,"ok":0,"failed":1,"skipped":0}})"
            "\n");
  EXPECT_FALSE(sandbox.read_upper(kKeyring));
  EXPECT_FALSE(sandbox.read_upper(kList));

  fs::remove(sandbox.state_dir() / "curl-fail");
  sandbox.clear_invocations();
  const RunResult retried = sandbox.run_agent({}, std::string(kBundle));
  EXPECT_EQ(retried.exit_status, 0) << retried.out << retried.err;
  EXPECT_EQ(sandbox.invocations(), kFirstRunCommands);
  EXPECT_EQ(sandbox.read_upper(kKeyring), "key from " + kKeyUrl + "\n");
}

TEST_F(AptRepo, FailedDownloadThroughALinkKeepsTheLink) {
  set_state("curl-fail");
  const fs::path target = sandbox.scratch_dir() / "elsewhere.asc";
  sandbox.run_in_process([&] {
    fs::create_symlink(target, kKeyring);
    EXPECT_NE(error_of(apply_apt_repo(apt_repo(example({{"suite", text("bookworm")}})), false)), "");
    EXPECT_TRUE(fs::is_symlink(kKeyring)) << "a link that was there before is not removed";
  });
}

TEST_F(AptRepo, ConvergedReposAskForTheSuiteOnce) {
  sandbox.write_upper(kKeyring, "key");
  sandbox.write_upper(kList, kLine);
  sandbox.write_upper("/etc/apt/keyrings/second.asc", "key");
  sandbox.write_upper("/etc/apt/sources.list.d/second.list",
                      "deb [arch=amd64 signed-by=/etc/apt/keyrings/second.asc] https://pkg.example.com/debian "
                      "bookworm stable\n");
  sandbox.run_in_process([this] {
    for (const char* name : {"example", "second", "example"}) {
      auto result = apply_apt_repo(apt_repo(example({{"name", text(name)}})), false);
      ASSERT_TRUE(result) << error_of(result);
      EXPECT_EQ(result->status, ResourceStatus::Ok) << name;
    }
    EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"lsb_release", "-cs"}}));
  });
}

TEST_F(AptRepo, ListWithAnotherLineIsReplaced) {
  sandbox.write_upper(kKeyring, "key");
  sandbox.write_upper(kList, kLine + "\ndeb http://old.example.com/ bookworm main\n", 0600);
  sandbox.run_in_process([this] {
    auto result = apply_apt_repo(apt_repo(example()), false);
    ASSERT_TRUE(result) << error_of(result);
    EXPECT_EQ(result->diff, "repo → " + kList);
    EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"lsb_release", "-cs"},
                                                              {"restorecon", kList},
                                                              {"apt-get", "update", "-qq"}}));
  });
  EXPECT_EQ(sandbox.read_upper(kList), kLine + "\n");
  EXPECT_EQ(sandbox.read_upper(kKeyring), "key") << "an existing key is never fetched again";
  struct stat list {};
  ASSERT_EQ(::stat(sandbox.upper_path(kList).c_str(), &list), 0);
  EXPECT_EQ(list.st_mode & 07777, 0600u) << "the list keeps its permission bits";
}

TEST_F(AptRepo, ValueEndingInABlankConvergesOnTheSecondRun) {
  sandbox.write_upper(kKeyring, "key");
  sandbox.run_in_process([this] {
    const auto repo = apt_repo(example({{"suite", text("bookworm")}, {"component", text("main ")}}));
    auto first = apply_apt_repo(repo, false);
    ASSERT_TRUE(first) << error_of(first);
    EXPECT_EQ(first->diff, "repo → " + kList);
    sandbox.clear_invocations();
    auto second = apply_apt_repo(repo, false);
    ASSERT_TRUE(second) << error_of(second);
    EXPECT_EQ(second->status, ResourceStatus::Ok);
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  });
  EXPECT_EQ(sandbox.read_upper(kList),
            "deb [arch=amd64 signed-by=/etc/apt/keyrings/example.asc] https://pkg.example.com/debian bookworm main \n");
}

TEST_F(AptRepo, SuiteIsRememberedOnlyOnceRead) {
  set_state("lsb-fail-once");
  sandbox.run_in_process([this] {
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo(example()), true)),
              "resource error: failed to detect distribution suite via lsb_release -cs");
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(apply_apt_repo(apt_repo(example()), true));
    EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{{"lsb_release", "-cs"}, {"lsb_release", "-cs"}}));
  });

  sandbox.clear_invocations();
  sandbox.run_in_process([this] {
    auto given = apply_apt_repo(
        apt_repo(example({{"suite", text("jammy")}, {"component", text("main")}, {"arch", text("arm64")}})), false);
    ASSERT_TRUE(given) << error_of(given);
    EXPECT_EQ(sandbox.invocations_of("lsb_release"), std::vector<Invocation>{});
    EXPECT_TRUE(apply_apt_repo(apt_repo(example({{"name", text("detected")}})), true));
    EXPECT_EQ(sandbox.invocations_of("lsb_release"), (std::vector<Invocation>{{"lsb_release", "-cs"}}))
        << "a given suite is not remembered";
  });
  EXPECT_EQ(sandbox.read_upper(kList),
            "deb [arch=arm64 signed-by=/etc/apt/keyrings/example.asc] https://pkg.example.com/debian jammy main\n");
}

TEST_F(AptRepo, Absent) {
  sandbox.write_upper(kList, kLine + "\n");
  sandbox.write_upper("/etc/apt/keyrings/both.asc", "key");
  sandbox.write_upper("/etc/apt/sources.list.d/both.list", "line\n");
  sandbox.run_in_process([this] {
    auto neither = apply_apt_repo(apt_repo({{"name", text("none")}, {"state", text("absent")}}), false);
    ASSERT_TRUE(neither) << error_of(neither);
    EXPECT_EQ(neither->status, ResourceStatus::Ok);

    auto dry = apply_apt_repo(apt_repo({{"name", text("example")}, {"state", text("absent")}}), true);
    ASSERT_TRUE(dry) << error_of(dry);
    EXPECT_EQ(dry->diff, "-" + kList);
    EXPECT_TRUE(fs::exists(kList));

    auto both = apply_apt_repo(apt_repo({{"name", text("both")}, {"state", text("absent")}}), false);
    ASSERT_TRUE(both) << error_of(both);
    EXPECT_EQ(both->diff, "-/etc/apt/keyrings/both.asc, -/etc/apt/sources.list.d/both.list");
    EXPECT_FALSE(fs::exists("/etc/apt/keyrings/both.asc"));
    EXPECT_FALSE(fs::exists("/etc/apt/sources.list.d/both.list"));

    EXPECT_EQ(error_of(apply_apt_repo(apt_repo({{"name", text("example")}, {"state", text("Absent")}}), true)),
              "resource error: apt_repo resource requires 'url'");
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});

    fs::create_directory("/etc/apt/keyrings/dir.asc");
    std::ofstream("/etc/apt/sources.list.d/dir.list") << "line\n";
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo({{"name", text("dir")}, {"state", text("absent")}}), false)),
              "resource error: failed to remove /etc/apt/keyrings/dir.asc: Is a directory (os error 21)");
    EXPECT_TRUE(fs::exists("/etc/apt/sources.list.d/dir.list")) << "the list is not looked at after a failure";
  });
  EXPECT_TRUE(sandbox.read_upper(kList));
}

TEST_F(AptRepo, MissingProperties) {
  sandbox.run_in_process([this] {
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo({}), true)), "resource error: apt_repo resource requires 'name'");
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo({{"name", text("x")}, {"gpg_key", text(kKeyUrl)}}), true)),
              "resource error: apt_repo resource requires 'url'");
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo({{"name", text("x")}, {"url", text("https://x")}}), true)),
              "resource error: apt_repo resource requires 'gpg_key'");
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  });
}

TEST_F(AptRepo, NamesThatLeaveTheirDirectoriesAreRefused) {
  const struct {
    std::string name;
    std::string error;
  } cases[] = {
      {"", "invalid apt_repo name: it is empty"},
      {".", "invalid apt_repo name '.': it must name a file, not a directory"},
      {"..", "invalid apt_repo name '..': it must name a file, not a directory"},
      {"../../cron.d/evil", "invalid apt_repo name '../../cron.d/evil': it must not hold '/'"},
      {"a/b", "invalid apt_repo name 'a/b': it must not hold '/'"},
      {"a\nb", "invalid apt_repo name: it holds a line break"},
      {std::string("a\0b", 3), "invalid apt_repo name: it holds a NUL byte"},
  };
  sandbox.run_in_process([&] {
    for (const auto& c : cases) {
      for (const char* state : {"present", "absent"}) {
        EXPECT_EQ(error_of(apply_apt_repo(apt_repo(example({{"name", text(c.name)}, {"state", text(state)}})), false)),
                  "resource error: " + c.error)
            << state;
      }
    }
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  });
  EXPECT_FALSE(sandbox.read_upper("/etc/cron.d/evil.list"));
}

TEST_F(AptRepo, ValuesThatWouldBreakTheLineAreRefused) {
  const struct {
    const char* key;
    const char* value;
    const char* error;
  } cases[] = {
      {"url", "https://x/ bookworm main\ndeb https://evil.example.com/", "invalid apt_repo url: it holds a line break"},
      {"suite", "bookworm\r", "invalid apt_repo suite: it holds a line break"},
      {"component", "main\n", "invalid apt_repo component: it holds a line break"},
      {"arch", "amd64\n", "invalid apt_repo arch: it holds a line break"},
      {"gpg_key", "https://x/key\n", "invalid apt_repo gpg_key: it holds a line break"},
      {"gpg_key", "-o/etc/cron.d/evil", "invalid apt_repo gpg_key '-o/etc/cron.d/evil': it begins with '-'"},
  };
  sandbox.run_in_process([&] {
    for (const auto& c : cases) {
      TomlTable props = example({{"suite", text("bookworm")}});
      props[c.key] = text(c.value);
      EXPECT_EQ(error_of(apply_apt_repo(apt_repo(props), false)), std::string("resource error: ") + c.error) << c.key;
    }
    EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  });
  EXPECT_FALSE(sandbox.read_upper(kList));

  set_state("lsb-output", "bookworm\ndeb https://evil.example.com/ x y\n");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo(example()), false)),
              "resource error: invalid apt_repo suite: it holds a line break");
  });
  EXPECT_FALSE(sandbox.read_upper(kList));
}

TEST_F(AptRepo, StatusOfMkdirAndChmodIsNotExamined) {
  sandbox.add_fake("mkdir", "/bin/mkdir \"$@\"; exit 1");
  sandbox.add_fake("chmod", "exit 1");
  const RunResult run = sandbox.run_agent({}, std::string(kBundle));
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(sandbox.invocations(), kFirstRunCommands);
  EXPECT_EQ(sandbox.read_upper(kList), kLine + "\n");
}

TEST_F(AptRepo, WriteAndUpdateFailures) {
  sandbox.write_upper(kKeyring, "key");
  set_state("update-fail", "E: The repository is not signed.\n");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_apt_repo(apt_repo(example()), false)),
              "resource error: apt-get update failed: E: The repository is not signed.\n");
  });
  EXPECT_EQ(sandbox.read_upper(kList), kLine + "\n");

  sandbox.whiteout("/etc/apt/sources.list.d");
  sandbox.clear_invocations();
  sandbox.run_in_process([this] {
    const std::string error = error_of(apply_apt_repo(apt_repo(example()), false));
    EXPECT_TRUE(error.starts_with("resource error: failed to write " + kList + ": resource error: ")) << error;
    EXPECT_TRUE(error.ends_with("No such file or directory (os error 2)")) << error;
    EXPECT_EQ(sandbox.invocations_of("apt-get"), std::vector<Invocation>{});
  });
}

}  // namespace
}  // namespace toln
