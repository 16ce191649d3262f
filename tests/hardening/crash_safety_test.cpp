// SIGKILL at random moments while the real agent rewrites 100 files, an
// /etc/fstab entry and the sysctl drop-in, switching every content between
// two versions. After every kill each file holds its old or its new text,
// whole; the temporary files of killed runs are the only thing left behind,
// at most one per kill, and the runs after them succeed and converge.
//
// The fstab entry and the sysctl setting switch with every run, so every
// run rewrites both files first; the files switch when a run gets through
// all of them, and a kill falls anywhere in the time a whole run took on
// this machine, so the kills fall all over the 100 writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness/sandbox.hpp"
#include "resources/agent_report.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 100;

// TOLN_CRASH_KILLS sets the number of kills for a longer run. Each run
// costs tens of processes (the agent, its fakes, restorecon after every
// write), the resource the suite's tests compete for.
int kills_wanted() {
  constexpr int kKills = 40;
  const char* given = std::getenv("TOLN_CRASH_KILLS");
  return given ? std::max(1, std::atoi(given)) : kKills;
}

const std::string kFstabKept = "# static file system information\nUUID=0a1b / ext4 errors=remount-ro 0 1\n"
                               "/dev/sdc1 /backup xfs defaults 0 0\n";
const std::string kDropinKept = "# kept by hand\nnet.core.somaxconn = 1024\n";

struct Version {
  std::string device, options, swappiness;
};
const Version kVersions[2] = {{"LABEL=data-a", "defaults", "10"}, {"LABEL=data-b", "defaults,noatime", "60"}};

// Two texts of different lengths, so a cut or mixed file shows.
std::string file_text(int file, int version) {
  std::string text = "file " + std::to_string(file) + " version " + std::to_string(version) + "\n";
  for (int line = 0; line < (version == 0 ? 12 : 40); ++line) {
    text += "line " + std::to_string(line) + " of file " + std::to_string(file) + " in version " +
            std::to_string(version) + "\n";
  }
  return text;
}

std::string fstab_text(int version) {
  const Version& v = kVersions[version];
  return kFstabKept + v.device + "\t/srv/data\text4\t" + v.options + "\t0\t2\n";
}

std::string dropin_text(int version) { return kDropinKept + "vm.swappiness = " + kVersions[version].swappiness + "\n"; }

std::string file_name(int file) {
  std::string digits = std::to_string(file);
  return "f" + std::string(4 - digits.size(), '0') + digits;
}

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    sandbox.add_silent_fake("restorecon");
    sandbox.add_fake("mountpoint", "exit 0");
    // Marks the moment the sysctl resource starts: its drop-in is written
    // a few milliseconds later.
    sandbox.add_fake("sysctl", R"(case "$1" in
  -n) : > "$TOLN_FAKE_STATE/sysctl-probed"; cat "$TOLN_FAKE_STATE/$2" ;;
  -w) printf '%s\n' "${2#*=}" > "$TOLN_FAKE_STATE/${2%%=*}" ;;
esac)");
    write_file(sandbox.state_dir() / "vm.swappiness", "30\n");
    sandbox.write_upper("/etc/fstab", kFstabKept);
    sandbox.write_upper("/etc/sysctl.d/99-toln.conf", kDropinKept);
    fs::create_directory(files_dir());
    for (int files = 0; files < 2; ++files) {
      for (int settings = 0; settings < 2; ++settings) bundles[files][settings] = bundle(files, settings);
    }
  }

  fs::path files_dir() const { return sandbox.scratch_dir() / "files"; }

  // A cmd guard marks the start of the run proper (the fstab is written
  // next); then the mount, the sysctl setting and the files, in that order.
  std::string bundle(int files_version, int settings_version) const {
    const Version& v = kVersions[settings_version];
    std::string text = R"(host = "crash"

[[resources]]
resource_type = "cmd"
name = "start"
props = { command = "true", unless = ': > "$TOLN_FAKE_STATE/started"' }

[[resources]]
resource_type = "mount"
name = "data"
after = ["cmd.start"]
props = { device = ")" + v.device + R"(", path = "/srv/data", fstype = "ext4", options = ")" + v.options + R"(", pass = "2" }

[[resources]]
resource_type = "sysctl"
name = "swappiness"
after = ["mount.data"]
props = { key = "vm.swappiness", value = ")" + v.swappiness + R"(", persist = true }
)";
    for (int file = 0; file < kFiles; ++file) {
      text += "\n[[resources]]\nresource_type = \"file\"\nname = \"" + file_name(file) +
              "\"\nafter = [\"sysctl.swappiness\"]\nprops = { path = " +
              toml_string((files_dir() / file_name(file)).string()) +
              ", content = " + toml_string(file_text(file, files_version)) + " }\n";
    }
    return text;
  }

  // Every file whole, in one of the two versions (the first run made all of
  // them, so none may be missing).
  void expect_each_file_old_or_new() {
    for (int file = 0; file < kFiles; ++file) {
      const auto text = read_file(files_dir() / file_name(file));
      ASSERT_TRUE(text == file_text(file, 0) || text == file_text(file, 1))
          << file_name(file) << " holds " << (text ? std::to_string(text->size()) + " bytes" : "nothing");
    }
    const auto fstab = sandbox.read_upper("/etc/fstab");
    EXPECT_TRUE(fstab == fstab_text(0) || fstab == fstab_text(1)) << fstab.value_or("(none)");
    const auto dropin = sandbox.read_upper("/etc/sysctl.d/99-toln.conf");
    EXPECT_TRUE(dropin == dropin_text(0) || dropin == dropin_text(1)) << dropin.value_or("(none)");
  }

  void expect_converged(int files_version, int settings_version) {
    for (int file = 0; file < kFiles; ++file) {
      ASSERT_EQ(read_file(files_dir() / file_name(file)), file_text(file, files_version)) << file_name(file);
    }
    EXPECT_EQ(sandbox.read_upper("/etc/fstab"), fstab_text(settings_version));
    EXPECT_EQ(sandbox.read_upper("/etc/sysctl.d/99-toln.conf"), dropin_text(settings_version));
  }

  // The temporary files of all three directories: each must be named
  // after a file there and the process id of a killed run, which writes one
  // file at a time and so leaves one at most.
  std::vector<std::string> temp_files_left() const {
    std::vector<std::string> found;
    std::set<std::string> pids;
    const std::vector<std::pair<fs::path, std::set<std::string>>> dirs = {
        {files_dir(), {}},
        {sandbox.upper_path("/etc"), {"fstab"}},
        {sandbox.upper_path("/etc/sysctl.d"), {"99-toln.conf"}},
    };
    for (const auto& [dir, targets] : dirs) {
      for (const auto& name : dir_names(dir)) {
        const std::size_t marker = name.find(".toln-tmp.");
        if (marker == std::string::npos) continue;
        found.push_back(name);
        const std::string target = name.substr(1, marker - 1);
        const bool known_target =
            targets.empty() ? fs::exists(dir / target) && target.starts_with("f") : targets.contains(target);
        EXPECT_TRUE(name.starts_with(".") && known_target) << dir / name;
        const std::string pid = name.substr(marker + 10, name.find('.', marker + 10) - marker - 10);
        EXPECT_TRUE(killed_pids.contains(pid)) << dir / name << " is not of a killed run";
        EXPECT_TRUE(pids.insert(pid).second) << "a second temporary file of process " << pid;
      }
    }
    return found;
  }

  // Runs the agent to its end; the outcome of a run that changed something.
  void run_to_end(int files_version, int settings_version) {
    const RunResult run = sandbox.run_agent({}, bundles[files_version][settings_version]);
    ASSERT_EQ(run.exit_status, 0) << run.err << run.out.substr(0, 2000);
  }

  // Keeps feeding the agent its bundle meanwhile.
  static void pause(ChildProcess& agent, std::chrono::microseconds delay) {
    const auto deadline = Clock::now() + delay;
    while (!agent.exited() && Clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() > 0) {
        agent.wait_until(nullptr, left);
      } else {
        agent.out();  // takes in what is ready without waiting
        std::this_thread::sleep_until(deadline);
      }
    }
  }

  void wait_for_marker(ChildProcess& agent, const char* marker, Clock::duration limit) {
    const fs::path path = sandbox.state_dir() / marker;
    const auto deadline = Clock::now() + limit;
    while (!agent.exited() && !fs::exists(path) && Clock::now() < deadline) {
      agent.wait_until(nullptr, std::chrono::milliseconds(1));
    }
  }

  Sandbox sandbox;
  std::string bundles[2][2];  // by the version of the files, then of the settings
  std::set<std::string> killed_pids;
};

TEST_F(CrashSafety, EveryFileIsOldOrNewAfterEachKill) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("random seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const auto first_started = Clock::now();
  ASSERT_NO_FATAL_FAILURE(run_to_end(0, 0));
  const auto whole_run = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - first_started);
  expect_converged(0, 0);

  int files_version = 1;
  int settings_version = 0;
  int kills = 0;
  int finished = 0;
  const int wanted = kills_wanted();
  while (kills < wanted) {
    settings_version = 1 - settings_version;
    for (const char* marker : {"started", "sysctl-probed"}) fs::remove(sandbox.state_dir() / marker);
    ChildProcess agent = sandbox.start_agent({}, bundles[files_version][settings_version]);
    // Just after the run proper starts (the fstab write), just after the
    // sysctl probe (the drop-in write), or anywhere in the time the first
    // run took, counted from the start however long the bundle took to read.
    const unsigned choice = random() % 4;
    wait_for_marker(agent, choice == 1 ? "sysctl-probed" : "started", std::chrono::seconds(30));
    pause(agent, std::chrono::microseconds(random() % (choice < 2 ? 8000 : whole_run.count() + 1)));
    const RunResult result = agent.kill();
    if (result.term_signal == 0) {
      // The run got through before the kill. It may have found nothing to
      // do: a run killed after its last write, then one killed before its
      // first, leave the host as this run wants it.
      ASSERT_TRUE(result.exit_status == 0 || result.exit_status == 1) << result.exit_status << result.err;
      expect_converged(files_version, settings_version);
      ++finished;
      files_version = 1 - files_version;
      continue;
    }
    ASSERT_EQ(result.term_signal, SIGKILL) << result.err;
    killed_pids.insert(std::to_string(agent.pid()));
    ++kills;
    expect_each_file_old_or_new();
    temp_files_left();
    if (HasFatalFailure()) return;
  }

  // Later runs are not hindered by what the killed ones left: one finishes
  // the switch, the next has nothing to do, and one after it switches all
  // back.
  ASSERT_NO_FATAL_FAILURE(run_to_end(files_version, settings_version));
  expect_converged(files_version, settings_version);
  const RunResult again = sandbox.run_agent({}, bundles[files_version][settings_version]);
  EXPECT_EQ(again.exit_status, 1) << again.err << again.out.substr(0, 2000);
  ASSERT_NO_FATAL_FAILURE(run_to_end(1 - files_version, 1 - settings_version));
  expect_converged(1 - files_version, 1 - settings_version);
  std::printf("%d kills, %d runs finished before their kill, %zu temporary files left\n", kills, finished,
              temp_files_left().size());
}

}  // namespace
}  // namespace toln
