#include "resources/cmd.hpp"

#include "host/console.hpp"
#include "host/root_paths.hpp"
#include "host/process.hpp"
#include "host/sealed_text.hpp"
#include "resources/props.hpp"
#include "text/nul_byte.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr std::size_t kRegisterLimit = 65536;

// Runs a shell text. A sensitive resource's text is handed to the shell as
// its script, a sealed memory file, rather than as an argument: every local
// user can read a process's arguments (ps, /proc/PID/cmdline).
Result<CommandOutput> run_shell(const std::string& text, bool sensitive, const RunOptions& options = {}) {
  if (!sensitive) return run(host_programs::shell(text), options);
  // Refused as the argument would be.
  if (has_nul_byte(text)) {
    return AgentError::resource("failed to run sh: " + std::string(kNulByteRefusal));
  }
  auto script = seal_text(text);
  if (!script) return AgentError::resource("failed to run sh: " + script.error().message());
  return run(host_programs::shell_script(script->path()), options);
}

// Whether the guards say the resource is in state already.
Result<bool> in_state(const std::optional<std::string>& creates, const std::optional<std::string>& unless,
                      const std::optional<std::string>& onlyif, bool sensitive) {
  // A path whose metadata cannot be read, for whatever reason (a NUL byte
  // in it included), counts as missing.
  if (creates && stat_path(*creates)) return true;
  if (unless) {
    auto guard = run_shell(*unless, sensitive);
    if (!guard) return std::move(guard).error();
    if (guard->status == 0) return true;
  }
  if (onlyif) {
    auto guard = run_shell(*onlyif, sensitive);
    if (!guard) return std::move(guard).error();
    if (guard->status != 0) return true;
  }
  return false;
}

std::string register_output(const ResolvedResource& resource, std::string_view stdout_bytes) {
  std::string text = lossy_utf8(stdout_bytes);
  if (text.size() > kRegisterLimit) {
    write_stderr("warning: cmd." + resource.name + " register output truncated to 65536 bytes\n");
    truncate_register_output(text);
  }
  return std::string(trim_white(text));
}

}  // namespace

void truncate_register_output(std::string& text) {
  text.resize(floor_char_boundary(text, kRegisterLimit));
}

HandlerResult apply_cmd(const ResolvedResource& resource, bool dry_run, bool is_handler) {
  auto command = prop_required(resource, "command");
  if (!command) return std::move(command).error();
  const auto creates = prop_str(resource, "creates");
  const auto unless = prop_str(resource, "unless");
  const auto onlyif = prop_str(resource, "onlyif");
  const auto stdin_text = prop_str(resource, "stdin");

  if (!is_handler && !resource.register_name && !creates && !unless && !onlyif) {
    return AgentError::resource(
        "cmd resource requires at least one guard: 'creates', 'unless', or 'onlyif' (or 'register')");
  }

  auto guarded = in_state(creates, unless, onlyif, resource.sensitive);
  if (!guarded) return std::move(guarded).error();
  if (*guarded) return result_ok("cmd", resource.name);

  if (dry_run) {
    return result_changed("cmd", resource.name, "would run: " + *command + (stdin_text ? " (with stdin)" : ""));
  }

  RunOptions options;
  if (stdin_text) options.input = *stdin_text;
  auto ran = run_shell(*command, resource.sensitive, options);
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) return AgentError::resource("command failed: " + stderr_text(*ran));

  ResourceResult result = result_ok("cmd", resource.name);
  result.status = ResourceStatus::Changed;
  if (resource.register_name) result.output = register_output(resource, ran->stdout_bytes);
  return result;
}

}  // namespace toln
