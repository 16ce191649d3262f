#pragma once
// A sandbox for tests that run the real toln-agent (or a shell command)
// against the host without changing it.
//
// Every child runs in a private mount and UTS namespace of its own:
// - "/etc", and every directory given to overlay(), is an overlay whose
//   upper layer lives in the sandbox: writes land there, the host's files
//   stay as they are, and the test reads and seeds the upper layer;
// - the sandbox's fakes directory is bound over "/usr/local/sbin", the first
//   directory of the agent's fixed child search path, so a fake shadows the
//   host program of the same name. Programs that would change the host
//   beyond the namespace (systemctl, sysctl, useradd, package managers, ...)
//   get a refusing fake unless the test installs its own;
// - the environment is fixed: PATH is the agent's child search path, HOME,
//   TMPDIR (and so the agent's temporary files and provider scripts) and the
//   working directory are sandbox directories, TOLN_FAKE_LOG and
//   TOLN_FAKE_STATE are set, the sanitizers' *SAN_OPTIONS pass through, and
//   extra_env entries come last.
// The mounts die with the child, so the host sees none of them. If the
// namespace cannot be set up the child never runs the command: it exits
// with kSetupFailedStatus, and the run is reported as a test failure.
//
// Prepare the layers and fakes before a run; while a started agent runs,
// read its results from the upper layer (a run_in_namespace beside it mounts
// the same layers a second time, which the kernel allows but does not keep
// coherent).

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/child_process.hpp"
#include "harness/fake_program.hpp"
#include "harness/temp_dir.hpp"

namespace toln::testing {

using Environment = std::map<std::string, std::string>;

// The agent's low-speed bound on transfers, shortened from its 30 seconds
// for one run: a test of a stalled transfer passes short_stall_bound() as
// the run's extra_env, and curl then reports "the last 3 seconds".
inline constexpr int kShortStallSeconds = 3;
inline Environment short_stall_bound() {
  return {{"TOLN_TEST_LOW_SPEED_TIME", std::to_string(kShortStallSeconds)}};
}

// Why sandboxed tests cannot run in this process (not root, or no private
// mount namespace with overlays), or nothing when they can. Probed once.
const std::optional<std::string>& sandbox_unavailable_reason();

// First statement of a test (or SetUp) that needs a Sandbox: skips the test
// with the reason when the sandbox cannot work here.
#define TOLN_REQUIRE_SANDBOX()                                                           \
  do {                                                                                   \
    if (const auto& toln_sandbox_reason = ::toln::testing::sandbox_unavailable_reason()) \
      GTEST_SKIP() << *toln_sandbox_reason;                                              \
  } while (false)

class Sandbox {
 public:
  // A fresh private directory (a TempDir: in memory where it can be) with
  // "/etc" overlaid, the fakes and their log and state, and the scratch,
  // home and temporary directories. Throws when it cannot be made.
  Sandbox();
  // The destructor removes the whole directory; the mounts are gone with
  // the children that made them.

  const std::filesystem::path& root() const { return root_; }
  // The test's own files; also the working directory of every child.
  std::filesystem::path scratch_dir() const { return root_ / "scratch"; }
  // TMPDIR of every child.
  std::filesystem::path tmp_dir() const { return root_ / "tmp"; }
  // $TOLN_FAKE_STATE: where fakes keep state from one call to the next.
  std::filesystem::path state_dir() const { return root_ / "fake-state"; }

  // --- Layers. Paths are absolute host paths inside an overlaid directory;
  // anything else throws std::invalid_argument.

  // Overlays one more existing host directory for later runs. Refused for a
  // directory that is not canonical, is "/", holds the sandbox, overlaps an
  // overlay already there, or is "/usr/local/sbin".
  void overlay(const std::filesystem::path& host_dir);
  // Where the path lives in the upper layer.
  std::filesystem::path upper_path(const std::filesystem::path& host_path) const;
  // Seeds a file as the next runs will see it. Missing parent directories
  // are made in the upper layer with the host directories' mode and owner.
  void write_upper(const std::filesystem::path& host_path, std::string_view content, mode_t mode = 0644);
  // Makes a host file or directory look absent (an overlay whiteout).
  void whiteout(const std::filesystem::path& host_path);
  // The content of a regular file in the upper layer: what a run wrote or
  // the test seeded. Nothing for a path the layer does not hold as a file.
  std::optional<std::string> read_upper(const std::filesystem::path& host_path) const;
  // Whether the upper layer holds a whiteout there: a run deleted the host's
  // entry (or whiteout() hid it).
  bool is_whiteout(const std::filesystem::path& host_path) const;

  // --- Fakes.

  // Installs (or replaces) the fake program name; body is POSIX sh run after
  // the invocation is logged, with the arguments in "$@" and standard input
  // untouched.
  void add_fake(std::string_view name, std::string_view body);
  // Installs (or replaces) a fake that ends at once with status 0 and logs
  // nothing: for a program started so often (restorecon after each of
  // hundreds of writes) that a script's start would be most of the test's
  // time.
  void add_silent_fake(std::string_view name);
  // Every fake invocation so far, in order, the program name first.
  std::vector<Invocation> invocations() const;
  std::vector<Invocation> invocations_of(std::string_view name) const;
  // Every invocation but those of one program (such as the restorecon that
  // follows every atomic write).
  std::vector<Invocation> invocations_except(std::string_view name) const;
  // Forgets the invocations so far (e.g. between a first and a second run).
  void clear_invocations();

  // --- Runs. A run that cannot set up its namespace, or outlives the run
  // timeout (then killed), is also reported as a test failure.

  // Runs toln-agent with the arguments, stdin_text on its standard input.
  RunResult run_agent(const std::vector<std::string>& args, std::string stdin_text = {},
                      const Environment& extra_env = {});
  // Starts toln-agent and returns at once, e.g. for serve mode. The handle
  // kills the agent and whatever it started when dropped; a namespace that
  // could not be set up shows as kSetupFailedStatus in its result.
  ChildProcess start_agent(const std::vector<std::string>& args, std::string stdin_text = {},
                           const Environment& extra_env = {});
  // Runs "sh -c sh_command" in the same kind of namespace, to inspect the
  // merged view or prepare state.
  RunResult run_in_namespace(const std::string& sh_command, std::string stdin_text = {},
                             const Environment& extra_env = {});

  // Runs body in a forked copy of this test process that has entered the
  // same kind of namespace (overlays, fakes, environment, working
  // directory, SIGPIPE ignored as the agent has it), so agent code can be
  // called in process against fakes. The
  // body's test failures are reported from the copy; the copy's exit status
  // tells the test whether there were any. extra_env is set in the copy.
  void run_in_process(const std::function<void()>& body, const Environment& extra_env = {});

  void set_run_timeout(std::chrono::milliseconds timeout) { run_timeout_ = timeout; }

 private:
  struct Layer {
    std::filesystem::path target;
    std::filesystem::path upper;
    std::filesystem::path work;
  };

  friend const std::optional<std::string>& sandbox_unavailable_reason();

  ChildSpec spec_in_namespace(std::string program, std::vector<std::string> argv, const Environment& extra_env) const;
  RunResult run_checked(const ChildSpec& spec, std::string stdin_text) const;
  const Layer& layer_of(const std::filesystem::path& host_path) const;
  std::filesystem::path prepare_upper_parents(const std::filesystem::path& host_path) const;
  std::filesystem::path fakes_dir() const { return root_ / "fakes"; }
  std::filesystem::path fake_log() const { return root_ / "fake.log"; }

  TempDir dir_;
  const std::filesystem::path& root_ = dir_.path();
  std::vector<Layer> layers_;
  // A hang guard: no run without a timeout of its own took more than 21 s,
  // under the sanitizers beside eight busy loops.
  std::chrono::milliseconds run_timeout_ = std::chrono::minutes(2);
};

}  // namespace toln::testing
