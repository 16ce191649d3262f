#pragma once
// Runs the real toln-agent binary with given arguments and standard input and
// captures what it wrote and how it ended.

#include <string>
#include <vector>

namespace toln::test {

enum class StdinMode {
  Feed,    // a pipe that receives the input and is then closed
  Unread,  // a pipe preloaded with the input (which must fit the pipe buffer)
           // and closed; what the agent leaves unread comes back in stdin_left
  Closed,  // descriptor 0 closed
  Directory,  // descriptor 0 open on "/", so every read fails
};

enum class StdoutMode {
  Capture,
  Closed,      // descriptor 1 closed
  BrokenPipe,  // a pipe whose read end is already closed
};

struct AgentRun {
  int exit_code = -1;  // -1 when the agent died by a signal
  std::string out;
  std::string err;
  std::string stdin_left;
};

struct AgentOptions {
  StdinMode stdin_mode = StdinMode::Feed;
  StdoutMode stdout_mode = StdoutMode::Capture;
  bool close_stderr = false;
};

AgentRun run_agent(const std::vector<std::string>& args, const std::string& input = "", AgentOptions options = {});

}  // namespace toln::test
