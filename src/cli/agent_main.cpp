#include "cli/agent_main.hpp"

#include "cli/command_line.hpp"
#include "push/push_mode.hpp"
#include "serve/serve_mode.hpp"

namespace toln {

void agent_main(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv);
  if (line.serve) run_serve_mode(*line.serve, line.dry_run);
  run_push_mode(line.dry_run);
}

}  // namespace toln
