#pragma once

namespace toln {

// Parses the command line and runs push mode or serve mode. Returns normally
// (status 0) or ends the process itself with its status.
void agent_main(int argc, char** argv);

}  // namespace toln
