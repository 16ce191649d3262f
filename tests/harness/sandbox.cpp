#include "harness/sandbox.hpp"

#include <sys/mount.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "host/process.hpp"

namespace toln::testing {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFakesMountPoint = "/usr/local/sbin";

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Absolute, lexically normal, without a trailing slash.
fs::path normal_absolute(const fs::path& path) {
  if (!path.is_absolute()) throw std::invalid_argument("not an absolute path: " + path.string());
  fs::path normal = path.lexically_normal();
  if (normal.has_relative_path() && normal.filename().empty()) normal = normal.parent_path();
  return normal;
}

bool is_within(const fs::path& path, const fs::path& dir) {
  return std::mismatch(dir.begin(), dir.end(), path.begin(), path.end()).first == dir.end();
}

// Overlay options are split at commas and colons.
void require_plain_for_overlay(const fs::path& path) {
  if (path.string().find_first_of(",:\\") != std::string::npos)
    throw std::invalid_argument("path unusable in overlay options: " + path.string());
}

void copy_mode_and_owner(const fs::path& from, const fs::path& to) {
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  if (::chown(to.c_str(), st.st_uid, st.st_gid) != 0) throw_errno("chown " + to.string());
  if (::chmod(to.c_str(), st.st_mode & 07777) != 0) throw_errno("chmod " + to.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool is_setup_failure(const RunResult& result) {
  return result.exit_status == kSetupFailedStatus && result.err.starts_with(kSetupFailurePrefix);
}

}  // namespace

const std::optional<std::string>& sandbox_unavailable_reason() {
  static const std::optional<std::string> reason = []() -> std::optional<std::string> {
    if (::geteuid() != 0) return "needs root: the sandbox mounts overlays in a private mount namespace";
    try {
      Sandbox probe;
      const RunResult result =
          run_program(probe.spec_in_namespace("/bin/sh", {"sh", "-c", "exit 0"}, {}), {}, std::chrono::seconds(30));
      if (result.exit_status != 0) {
        std::string why = result.err;
        while (why.ends_with('\n')) why.pop_back();
        return "no private mount namespace with overlays here: " + why;
      }
    } catch (const std::exception& e) {
      return std::string("cannot make a sandbox: ") + e.what();
    }
    return std::nullopt;
  }();
  return reason;
}

Sandbox::Sandbox() : dir_("toln-sandbox") {
  require_plain_for_overlay(root_);
  for (const char* dir : {"scratch", "tmp", "home", "fake-state", "fakes", "layers"}) fs::create_directory(root_ / dir);
  write_file(fake_log(), "");
  for (const auto& program : refused_programs()) add_fake(program, refusing_body(program));
  overlay("/etc");
}

void Sandbox::overlay(const fs::path& host_dir) {
  const fs::path target = normal_absolute(host_dir);
  if (target == target.root_path()) throw std::invalid_argument("cannot overlay /");
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(target)) || fs::canonical(target, error) != target)
    throw std::invalid_argument("not a canonical host directory: " + target.string());
  if (is_within(root_, target)) throw std::invalid_argument(target.string() + " holds the sandbox itself");
  if (is_within(target, kFakesMountPoint)) throw std::invalid_argument("the fakes are bound on " + target.string());
  for (const auto& layer : layers_) {
    if (is_within(target, layer.target) || is_within(layer.target, target))
      throw std::invalid_argument(target.string() + " overlaps the overlay on " + layer.target.string());
  }
  require_plain_for_overlay(target);

  const fs::path layer_dir = root_ / "layers" / std::to_string(layers_.size());
  Layer layer{target, layer_dir / "upper", layer_dir / "work"};
  fs::create_directories(layer.upper);
  fs::create_directory(layer.work);
  // The upper root gives the merged directory its mode and owner.
  copy_mode_and_owner(target, layer.upper);
  layers_.push_back(std::move(layer));
}

const Sandbox::Layer& Sandbox::layer_of(const fs::path& host_path) const {
  const fs::path path = normal_absolute(host_path);
  for (const auto& layer : layers_) {
    if (is_within(path, layer.target)) return layer;
  }
  throw std::invalid_argument("not inside an overlaid directory: " + path.string());
}

fs::path Sandbox::upper_path(const fs::path& host_path) const {
  const Layer& layer = layer_of(host_path);
  const fs::path relative = normal_absolute(host_path).lexically_relative(layer.target);
  return relative == "." ? layer.upper : layer.upper / relative;
}

fs::path Sandbox::prepare_upper_parents(const fs::path& host_path) const {
  const Layer& layer = layer_of(host_path);
  const fs::path path = normal_absolute(host_path);
  if (path == layer.target) throw std::invalid_argument("not a path below " + layer.target.string());
  fs::path host_dir = layer.target;
  fs::path upper_dir = layer.upper;
  for (const auto& part : path.parent_path().lexically_relative(layer.target)) {
    if (part == ".") continue;
    host_dir /= part;
    upper_dir /= part;
    if (fs::create_directory(upper_dir)) copy_mode_and_owner(host_dir, upper_dir);
  }
  const fs::path upper = upper_dir / path.filename();
  fs::remove_all(upper);
  return upper;
}

void Sandbox::write_upper(const fs::path& host_path, std::string_view content, mode_t mode) {
  const fs::path upper = prepare_upper_parents(host_path);
  write_file(upper, content);
  if (::chmod(upper.c_str(), mode) != 0) throw_errno("chmod " + upper.string());
}

void Sandbox::whiteout(const fs::path& host_path) {
  const fs::path upper = prepare_upper_parents(host_path);
  if (::mknod(upper.c_str(), S_IFCHR | 0000, makedev(0, 0)) != 0) throw_errno("mknod " + upper.string());
}

std::optional<std::string> Sandbox::read_upper(const fs::path& host_path) const {
  const fs::path upper = upper_path(host_path);
  if (!fs::is_regular_file(fs::symlink_status(upper))) return std::nullopt;
  return read_file(upper);
}

bool Sandbox::is_whiteout(const fs::path& host_path) const {
  struct stat st {};
  const fs::path upper = upper_path(host_path);
  return ::lstat(upper.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0);
}

void Sandbox::add_fake(std::string_view name, std::string_view body) {
  const std::string script = fake_script(name, body);
  const fs::path path = fakes_dir() / std::string(name);
  write_file(path, script);
  if (::chmod(path.c_str(), 0755) != 0) throw_errno("chmod " + path.string());
}

void Sandbox::add_silent_fake(std::string_view name) {
  check_fake_name(name);
  const fs::path path = fakes_dir() / std::string(name);
  fs::remove(path);
  fs::create_symlink(TOLN_SUCCEED_PATH, path);
}

std::vector<Invocation> Sandbox::invocations() const { return parse_fake_log(read_file(fake_log())); }

std::vector<Invocation> Sandbox::invocations_of(std::string_view name) const {
  std::vector<Invocation> matching;
  for (auto& invocation : invocations()) {
    if (invocation.front() == name) matching.push_back(std::move(invocation));
  }
  return matching;
}

std::vector<Invocation> Sandbox::invocations_except(std::string_view name) const {
  std::vector<Invocation> others;
  for (auto& invocation : invocations()) {
    if (invocation.front() != name) others.push_back(std::move(invocation));
  }
  return others;
}

void Sandbox::clear_invocations() { write_file(fake_log(), ""); }

ChildSpec Sandbox::spec_in_namespace(std::string program, std::vector<std::string> argv,
                                     const Environment& extra_env) const {
  Environment env = {
      {"PATH", std::string(child_search_path)},
      {"HOME", (root_ / "home").string()},
      {"TMPDIR", tmp_dir().string()},
      {"TOLN_FAKE_LOG", fake_log().string()},
      {"TOLN_FAKE_STATE", state_dir().string()},
  };
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  for (const auto& [name, value] : extra_env) env[name] = value;

  ChildSpec spec;
  spec.program = std::move(program);
  spec.argv = std::move(argv);
  for (const auto& [name, value] : env) spec.env.push_back(name + "=" + value);
  spec.cwd = scratch_dir().string();
  spec.private_namespace = true;
  for (const auto& layer : layers_) {
    spec.mounts.push_back({"overlay", layer.target.string(), "overlay", 0,
                           "lowerdir=" + layer.target.string() + ",upperdir=" + layer.upper.string() +
                               ",workdir=" + layer.work.string() + ",index=off,metacopy=off",
                           "mount of the overlay on " + layer.target.string()});
  }
  spec.mounts.push_back({fakes_dir().string(), std::string(kFakesMountPoint), "", MS_BIND, "",
                         "bind mount of the fakes on " + std::string(kFakesMountPoint)});
  return spec;
}

RunResult Sandbox::run_checked(const ChildSpec& spec, std::string stdin_text) const {
  RunResult result = run_program(spec, std::move(stdin_text), run_timeout_);
  if (result.timed_out) ADD_FAILURE() << spec.program << " ran longer than " << run_timeout_.count() << " ms";
  if (is_setup_failure(result)) ADD_FAILURE() << "the sandbox could not be set up: " << result.err;
  return result;
}

RunResult Sandbox::run_agent(const std::vector<std::string>& args, std::string stdin_text,
                             const Environment& extra_env) {
  std::vector<std::string> argv = {"toln-agent"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_checked(spec_in_namespace(TOLN_AGENT_PATH, std::move(argv), extra_env), std::move(stdin_text));
}

ChildProcess Sandbox::start_agent(const std::vector<std::string>& args, std::string stdin_text,
                                  const Environment& extra_env) {
  std::vector<std::string> argv = {"toln-agent"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ChildProcess(spec_in_namespace(TOLN_AGENT_PATH, std::move(argv), extra_env), std::move(stdin_text));
}

RunResult Sandbox::run_in_namespace(const std::string& sh_command, std::string stdin_text,
                                    const Environment& extra_env) {
  return run_checked(spec_in_namespace("/bin/sh", {"sh", "-c", sh_command}, extra_env), std::move(stdin_text));
}

}  // namespace toln::testing

namespace toln::testing {

void Sandbox::run_in_process(const std::function<void()>& body, const Environment& extra_env) {
  const ChildSpec spec = spec_in_namespace("", {}, extra_env);
  const pid_t pid = ::fork();
  if (pid < 0) throw_errno("fork");
  if (pid == 0) {
    int status = 1;
    try {
      if (::unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0) throw_errno("unshare");
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) throw_errno("private mounts");
      for (const auto& step : spec.mounts) {
        if (::mount(step.source.empty() ? nullptr : step.source.c_str(), step.target.c_str(),
                    step.fstype.empty() ? nullptr : step.fstype.c_str(), step.flags,
                    step.data.empty() ? nullptr : step.data.c_str()) != 0) {
          throw_errno(step.description);
        }
      }
      for (const auto& entry : spec.env) {
        const auto equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
      }
      if (::chdir(spec.cwd.c_str()) != 0) throw_errno("chdir");
      // As in the agent's own start-up.
      ::signal(SIGPIPE, SIG_IGN);
      body();
      status = ::testing::Test::HasFailure() ? 1 : 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s%s\n", std::string(kSetupFailurePrefix).c_str(), e.what());
    }
    std::fflush(nullptr);
    ::_exit(status);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "the in-process check in the sandbox died by signal " << WTERMSIG(status);
  } else if (WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the in-process check in the sandbox failed (its failures are printed above)";
  }
}

}  // namespace toln::testing
