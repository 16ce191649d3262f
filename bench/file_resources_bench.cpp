// 1,000 file resources (content and mode 0644, no owner) as whole toln-agent
// runs, beside a bare loop of the same system calls in a small program
// (file_syscalls_loop):
//   AgentNoop / BareNoop:           the files are already in their state;
//   AgentFirstRun / BareFirstRun:   the files are missing (removed before
//                                   each run, outside the timing);
//   AgentDryRunMissingDirectory:    --dry-run over 10,000 file resources in
//                                   a directory not yet made.
// The files live in a fresh directory under TOLN_BENCH_DIR (else TMPDIR,
// else /tmp): put it on the file system whose fsync cost is of interest.
// toln-agent is found beside the build's bench directory, or at TOLN_AGENT.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file_bench_content.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 1000;
constexpr int kFilesInMissingDirectory = 10000;

fs::path own_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

std::string agent_path() {
  const char* given = std::getenv("TOLN_AGENT");
  return given ? given : (own_dir().parent_path() / "toln-agent").string();
}

class Workspace {
 public:
  Workspace() {
    const char* base = std::getenv("TOLN_BENCH_DIR");
    if (!base) base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/toln-file-bench.XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    fs::create_directory(files());
    write_bundle(bundle_path(), files(), kFiles);
    write_bundle(missing_directory_bundle_path(), (root_ / "not-made-yet").string(), kFilesInMissingDirectory);
  }
  ~Workspace() { fs::remove_all(root_); }

  std::string files() const { return (root_ / "files").string(); }
  std::string bundle_path() const { return (root_ / "bundle.toml").string(); }
  std::string missing_directory_bundle_path() const { return (root_ / "missing-directory.toml").string(); }

  // count file resources in dir: content and mode 0644.
  static void write_bundle(const std::string& path, const std::string& dir, int count) {
    std::ofstream bundle(path);
    bundle << "host = \"bench\"\n";
    for (int i = 0; i < count; ++i) {
      bundle << "\n[[resources]]\nresource_type = \"file\"\nname = \"f" << i << "\"\nprops = { path = \""
             << toln::bench::file_path(dir, i) << "\", content = \"\"\"\n"
             << toln::bench::content_of(i) << "\"\"\", mode = \"0644\" }\n";
    }
  }

  void remove_files() const {
    for (const auto& entry : fs::directory_iterator(files())) fs::remove(entry.path());
  }
  void create_files() const {
    remove_files();
    for (int i = 0; i < kFiles; ++i) {
      std::ofstream(toln::bench::file_path(files(), i)) << toln::bench::content_of(i);
      fs::permissions(toln::bench::file_path(files(), i), fs::perms(0644));
    }
  }

 private:
  fs::path root_;
};

const Workspace& workspace() {
  static const Workspace instance;
  return instance;
}

// Runs a program to its end with standard input from a file (or /dev/null)
// and standard output discarded; its exit status.
int run(const std::vector<std::string>& argv, const std::string& stdin_path = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void runs(benchmark::State& state, bool first_run, const std::vector<std::string>& argv, int expected_status,
          const std::string& stdin_path = "/dev/null", int files = kFiles) {
  const Workspace& w = workspace();
  if (!first_run) w.create_files();
  for (auto _ : state) {
    if (first_run) {
      state.PauseTiming();
      w.remove_files();
      ::sync();
      state.ResumeTiming();
    }
    if (const int status = run(argv, stdin_path); status != expected_status) {
      state.SkipWithError(("exit status " + std::to_string(status)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * files);
}

void AgentNoop(benchmark::State& state) { runs(state, false, {agent_path()}, 1, workspace().bundle_path()); }
void BareNoop(benchmark::State& state) {
  runs(state, false, {(own_dir() / "file_syscalls_loop").string(), "noop", workspace().files(), std::to_string(kFiles)}, 0);
}
void AgentFirstRun(benchmark::State& state) { runs(state, true, {agent_path()}, 0, workspace().bundle_path()); }
void BareFirstRun(benchmark::State& state) {
  runs(state, true, {(own_dir() / "file_syscalls_loop").string(), "create", workspace().files(), std::to_string(kFiles)}, 0);
}

void AgentDryRunMissingDirectory(benchmark::State& state) {
  runs(state, false, {agent_path(), "--dry-run"}, 0, workspace().missing_directory_bundle_path(),
       kFilesInMissingDirectory);
}

BENCHMARK(AgentNoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BareNoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AgentFirstRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BareFirstRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(AgentDryRunMissingDirectory)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
