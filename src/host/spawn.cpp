#include "host/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/process.hpp"
#include "text/nul_byte.hpp"

extern char** environ;

namespace toln {
namespace {

// Looks the name up in child_search_path the way exec would; a name with a
// slash is a path already.
Result<std::string> find_program(std::string_view program) {
  if (program.empty()) return AgentError::io(ENOENT);
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
  return AgentError::io(error);
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

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return AgentError::io(errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A pipe when one is wanted, else nothing.
Result<std::optional<Pipe>> make_pipe_if(bool wanted) {
  if (!wanted) return std::optional<Pipe>();
  auto pipe = make_pipe();
  if (!pipe) return std::move(pipe).error();
  return std::optional<Pipe>(std::move(*pipe));
}

// The two posix_spawn attribute objects, and the first error met while
// setting them up: a child started with part of its setup missing could
// inherit the wrong descriptors or signals.
class SpawnSetup {
 public:
  SpawnSetup() {
    check(posix_spawn_file_actions_init(&actions_));
    has_actions_ = error_ == 0;
    if (!has_actions_) return;
    check(posix_spawnattr_init(&attributes_));
    has_attributes_ = error_ == 0;
    if (!has_attributes_) return;
    // The agent ignores SIGPIPE; its children must not inherit that.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    check(posix_spawnattr_setsigdefault(&attributes_, &defaults));
    sigset_t none;
    sigemptyset(&none);
    check(posix_spawnattr_setsigmask(&attributes_, &none));
    check(posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (has_actions_) posix_spawn_file_actions_destroy(&actions_);
    if (has_attributes_) posix_spawnattr_destroy(&attributes_);
  }

  void open(int fd, const char* path, int flags) {
    if (error_ == 0) check(posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0));
  }
  void dup2(int from, int to) {
    if (error_ == 0) check(posix_spawn_file_actions_adddup2(&actions_, from, to));
  }
  void fchdir(int dir_fd) {
    if (error_ == 0) check(posix_spawn_file_actions_addfchdir_np(&actions_, dir_fd));
  }

  int error() const { return error_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  void check(int rc) {
    if (error_ == 0) error_ = rc;
  }

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool has_actions_ = false;
  bool has_attributes_ = false;
  int error_ = 0;
};

}  // namespace

Result<OwnedChild> spawn_child(const HostCommand& command, const RunOptions& options) {
  // A NUL byte would silently cut the text at the system call.
  bool nul = has_nul_byte(command.program);
  for (const auto& arg : command.args) nul = nul || has_nul_byte(arg);
  if (nul) return AgentError::other(std::string(kNulByteRefusal));

  auto path = find_program(command.program);
  if (!path) return std::move(path).error();

  std::vector<std::string> argv_texts;
  argv_texts.reserve(command.args.size() + 1);
  argv_texts.emplace_back(command.program);
  argv_texts.insert(argv_texts.end(), command.args.begin(), command.args.end());
  std::vector<std::string> env_texts = child_environment(options.env);
  std::vector<char*> argv = c_strings(argv_texts);
  std::vector<char*> envp = c_strings(env_texts);

  const bool fed = options.input.has_value();
  auto out_pipe = make_pipe_if(!options.stdout_fd);
  if (!out_pipe) return std::move(out_pipe).error();
  auto err = make_pipe();
  if (!err) return std::move(err).error();
  auto in_pipe = make_pipe_if(fed);
  if (!in_pipe) return std::move(in_pipe).error();
  std::optional<Pipe>& out = *out_pipe;
  std::optional<Pipe>& in = *in_pipe;

  SpawnSetup setup;
  if (options.working_dir) setup.fchdir(*options.working_dir);
  if (fed) {
    setup.dup2(in->read_end.get(), STDIN_FILENO);
  } else {
    setup.open(STDIN_FILENO, "/dev/null", O_RDONLY);
  }
  setup.dup2(out ? out->write_end.get() : *options.stdout_fd, STDOUT_FILENO);
  setup.dup2(err->write_end.get(), STDERR_FILENO);
  if (setup.error() != 0) return AgentError::io(setup.error());

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, path->c_str(), setup.actions(), setup.attributes(), argv.data(), envp.data());
  if (rc != 0) return AgentError::io(rc);
  return OwnedChild(pid, in ? std::move(in->write_end) : UniqueFd(), out ? std::move(out->read_end) : UniqueFd(),
                    std::move(err->read_end));
}

}  // namespace toln
