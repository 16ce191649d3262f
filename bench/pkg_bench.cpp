// A pkg resource with 50 packages that are all installed: the no-op run is
// 50 queries, one process each. Compared with 50 bare spawns of the same
// query program, and with 50 queries through the process runner.
//
// Setup (needs root): the benchmark enters a private mount namespace of its
// own, makes every mount private and binds a temporary directory of fake
// programs over /usr/local/sbin, the first directory of the agent's child
// search path. There "which" finds apt-get, "dpkg" answers every "-s" with
// an installed Status line, and "apt-get" refuses (exit 127), so nothing on
// the host can change; a check before timing makes sure the fakes answer.
// The mounts die with the process.
//
//   ./build/bench/pkg_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include "host/process.hpp"
#include "host/temp_dirs.hpp"
#include "resources/pkg.hpp"

extern char** environ;

namespace toln {
namespace {

constexpr int kPackages = 50;

std::string g_fakes_dir;

std::vector<std::string> package_names() {
  std::vector<std::string> names;
  for (int i = 0; i < kPackages; ++i) names.push_back("package-" + std::to_string(i));
  return names;
}

ResolvedResource no_op_resource() {
  TomlArray names;
  for (auto& name : package_names()) names.push_back(TomlValue{std::move(name)});
  ResolvedResource r;
  r.resource_type = "pkg";
  r.name = "installed";
  r.props = {{"names", TomlValue{std::move(names)}}};
  return r;
}

void BM_PkgNoOp50(benchmark::State& state) {
  const ResolvedResource resource = no_op_resource();
  for (auto _ : state) {
    auto result = apply_pkg(resource, false);
    if (!result || result->status != ResourceStatus::Ok) state.SkipWithError("the no-op resource changed or failed");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * kPackages);
}

void BM_BareSpawn50(benchmark::State& state) {
  const std::string program = g_fakes_dir + "/dpkg";
  const auto names = package_names();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    for (const auto& name : names) {
      char* argv[] = {const_cast<char*>("dpkg"), const_cast<char*>("-s"), const_cast<char*>(name.c_str()), nullptr};
      pid_t pid = 0;
      if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
        state.SkipWithError("spawn failed");
        break;
      }
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  state.SetItemsProcessed(state.iterations() * kPackages);
}

void BM_RunnerQueries50(benchmark::State& state) {
  const auto names = package_names();
  for (auto _ : state) {
    for (const auto& name : names) {
      auto output = run(host_programs::dpkg_status(name));
      if (!output || output->status != 0) state.SkipWithError("query failed");
      benchmark::DoNotOptimize(output);
    }
  }
  state.SetItemsProcessed(state.iterations() * kPackages);
}

// The children's time dominates, so wall-clock time is measured. The
// minimum of the repetitions is the figure least disturbed by other load;
// run with --benchmark_enable_random_interleaving=true to spread that load
// evenly over the three.
void timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(0.5)
      ->Repetitions(12)
      ->ReportAggregatesOnly(true)
      ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_PkgNoOp50)->Apply(timed);
BENCHMARK(BM_BareSpawn50)->Apply(timed);
BENCHMARK(BM_RunnerQueries50)->Apply(timed);

void write_fake(const std::string& name, const std::string& body) {
  const std::string path = g_fakes_dir + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
}

// Why the fakes could not be put in place, or nothing.
std::optional<std::string> enter_fake_host() {
  if (::geteuid() != 0) return "needs root for a private mount namespace";
  if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("private mounts: ") + std::strerror(errno);
  }
  write_fake("which", "[ \"$1\" = apt-get ]");
  write_fake("dpkg", "printf 'Package: %s\\nStatus: install ok installed\\nVersion: 1.0\\n' \"$2\"");
  write_fake("apt-get", "exit 127");
  if (::mount(g_fakes_dir.c_str(), "/usr/local/sbin", nullptr, MS_BIND, nullptr) != 0) {
    return std::string("bind mount on /usr/local/sbin: ") + std::strerror(errno);
  }
  auto probe = run(host_programs::dpkg_status("package-0"));
  if (!probe || probe->stdout_bytes != "Package: package-0\nStatus: install ok installed\nVersion: 1.0\n") {
    return "the fake dpkg does not answer";
  }
  // Detects the manager once, before anything is timed.
  auto warm = apply_pkg(no_op_resource(), false);
  if (!warm || warm->status != ResourceStatus::Ok) return "the no-op resource is not a no-op";
  return std::nullopt;
}

}  // namespace
}  // namespace toln

int main(int argc, char** argv) {
  auto fakes = toln::make_temp_dir("toln-pkg-bench");
  if (!fakes) {
    std::fprintf(stderr, "pkg_bench: %s\n", toln::display_agent_error(fakes.error()).c_str());
    return 1;
  }
  toln::g_fakes_dir = fakes->path();
  ::chmod(toln::g_fakes_dir.c_str(), 0755);
  if (auto why = toln::enter_fake_host()) {
    std::fprintf(stderr, "pkg_bench: %s\n", why->c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
