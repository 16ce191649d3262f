#include <exception>

#include "cli/agent_main.hpp"
#include "cli/startup.hpp"
#include "host/console.hpp"

int main(int argc, char** argv) {
  toln::prepare_process();
  try {
    toln::agent_main(argc, argv);
  } catch (const std::exception& e) {
    toln::internal_failure(e.what());
  }
  toln::exit_process(0);
}
