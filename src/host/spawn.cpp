// The spawning primitive: program lookup, environment, descriptors, signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/process.hpp"
#include "model/agent_error.hpp"

extern char** environ;

namespace toln {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Looks the name up in child_search_path the way exec would; a name with a
// slash is a path already.
std::variant<std::string, SpawnFailure> find_program(std::string_view program) {
  if (program.empty()) return SpawnFailure{os_error_text(ENOENT)};
  if (program.find('/') != std::string_view::npos) return std::string(program);
  int error = ENOENT;
  std::string_view dirs = child_search_path;
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    std::string candidate = std::string(dir) + "/" + std::string(program);
    struct stat st {};
    if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    error = EACCES;
  }
  return SpawnFailure{os_error_text(error)};
}

std::vector<std::string> child_environment(const EnvEntries& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, "PATH=", 5) == 0) continue;
    env.emplace_back(*entry);
  }
  auto set = [&env](std::string_view name, std::string_view value) {
    std::string prefix = std::string(name) + "=";
    std::erase_if(env, [&prefix](const std::string& e) { return e.starts_with(prefix); });
    env.push_back(prefix + std::string(value));
  };
  set("PATH", child_search_path);
  for (const auto& [name, value] : extra) set(name, value);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

std::optional<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// RAII for the two posix_spawn attribute objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The agent ignores SIGPIPE; its children must not inherit that.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

}  // namespace

std::optional<int> exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
}

std::optional<int> terminating_signal(int status) {
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  return std::nullopt;
}

std::variant<SpawnedChild, SpawnFailure> spawn_child(std::string_view program, const std::vector<std::string>& args,
                                                     const EnvEntries& extra_env, StdinMode stdin_mode,
                                                     int stdout_target) {
  // A NUL byte would silently cut the text at the system call.
  bool nul = has_nul(program);
  for (const auto& arg : args) nul = nul || has_nul(arg);
  if (nul) return SpawnFailure{"nul byte found in provided data"};

  auto path = find_program(program);
  if (auto* failure = std::get_if<SpawnFailure>(&path)) return *failure;

  std::vector<std::string> argv_texts;
  argv_texts.reserve(args.size() + 1);
  argv_texts.emplace_back(program);
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts = child_environment(extra_env);
  std::vector<char*> argv = c_strings(argv_texts);
  std::vector<char*> envp = c_strings(env_texts);

  std::optional<Pipe> out;
  if (stdout_target < 0) out = make_pipe();
  auto err = make_pipe();
  std::optional<Pipe> in;
  if (stdin_mode == StdinMode::Pipe) in = make_pipe();
  if ((stdout_target < 0 && !out) || !err || (stdin_mode == StdinMode::Pipe && !in)) {
    return SpawnFailure{os_error_text(errno)};
  }

  SpawnSetup setup;
  if (stdin_mode == StdinMode::DevNull) {
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  } else if (stdin_mode == StdinMode::Pipe) {
    posix_spawn_file_actions_adddup2(&setup.actions, in->read_end.get(), STDIN_FILENO);
  }
  posix_spawn_file_actions_adddup2(&setup.actions, out ? out->write_end.get() : stdout_target, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, err->write_end.get(), STDERR_FILENO);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, std::get<std::string>(path).c_str(), &setup.actions, &setup.attributes,
                               argv.data(), envp.data());
  if (rc != 0) return SpawnFailure{os_error_text(rc)};

  SpawnedChild child;
  child.pid = pid;
  if (out) child.stdout_pipe = std::move(out->read_end);
  child.stderr_pipe = std::move(err->read_end);
  if (in) child.stdin_pipe = std::move(in->write_end);
  return child;
}

void drain_pipes(UniqueFd out, UniqueFd err, std::string& out_bytes, std::string& err_bytes) {
  struct pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  std::string* sinks[2] = {&out_bytes, &err_bytes};
  UniqueFd* owners[2] = {&out, &err};
  int open_count = (out.valid() ? 1 : 0) + (err.valid() ? 1 : 0);
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        owners[i]->reset();
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

std::variant<int, SpawnFailure> wait_child(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return SpawnFailure{os_error_text(errno)};
  }
  return status;
}

std::variant<CommandOutput, SpawnFailure> run_captured(std::string_view program, const std::vector<std::string>& args) {
  auto spawned = spawn_child(program, args, {}, StdinMode::DevNull);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) return *failure;
  auto& child = std::get<SpawnedChild>(spawned);
  CommandOutput output;
  drain_pipes(std::move(child.stdout_pipe), std::move(child.stderr_pipe), output.stdout_bytes, output.stderr_bytes);
  auto waited = wait_child(child.pid);
  if (auto* failure = std::get_if<SpawnFailure>(&waited)) return *failure;
  output.status = std::get<int>(waited);
  return output;
}

}  // namespace toln
