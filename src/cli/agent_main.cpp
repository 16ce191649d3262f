#include "cli/agent_main.hpp"

#include "cli/command_line.hpp"
#include "host/console.hpp"
#include "model/parse_bundle.hpp"
#include "model/read_bounded.hpp"

namespace toln {
namespace {

[[noreturn]] void fail(std::string_view what, const AgentError& error) {
  write_stderr(std::string(what) + display_agent_error(error) + "\n");
  exit_process(5);
}

void run_push_mode(bool /*dry_run*/) {
  auto text = read_bounded_stdin(kBundleSizeLimit);
  if (!text) fail("failed to read stdin: ", text.error());
  auto bundle = parse_bundle(*text);
  if (!bundle) fail("failed to parse bundle: ", bundle.error());
  internal_failure("the engine is not built yet");
}

}  // namespace

void agent_main(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv);
  if (line.serve) internal_failure("serve mode is not built yet");
  run_push_mode(line.dry_run);
}

}  // namespace toln
