#pragma once
// The command-line definition of toln-agent and its parsing.

#include <memory>
#include <optional>
#include <string>

#include "serve/serve_args.hpp"

namespace CLI {
class App;
}

namespace toln {

struct CommandLine {
  bool dry_run = false;
  std::optional<ServeArgs> serve;  // present when the subcommand was given
};

// The definition: the parser with its bound values. Kept behind a pointer
// because the parser holds the addresses of the values.
struct CliDefinition;
std::unique_ptr<CliDefinition> build_cli();

// Parses the process arguments. Help and version are printed on standard
// output and end the process with status 0; every usage error is printed on
// standard error and ends it with status 2.
CommandLine parse_command_line(int argc, char** argv);

}  // namespace toln
