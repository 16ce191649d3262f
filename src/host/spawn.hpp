#pragma once
// The spawning primitive under the runner: program lookup, environment,
// descriptors, working directory and signals of a new child.

#include <vector>

#include "host/host_programs.hpp"
#include "host/owned_child.hpp"
#include "model/result.hpp"

namespace toln {

struct RunOptions;

// Finds the program in child_search_path (a name with a slash is used as a
// path) and starts it with PATH replaced and options.env added after it, in
// options.working_dir when given. Standard input is a pipe when options
// carry input, else "/dev/null"; standard output a pipe, or
// options.stdout_fd; standard error a pipe. The error's message is the
// cause alone: the OS error's text, or "nul byte found in provided data"
// when the program or an argument holds one.
Result<OwnedChild> spawn_child(const HostCommand& command, const RunOptions& options);

}  // namespace toln
