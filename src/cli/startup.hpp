#pragma once

namespace toln {

// What the process needs before agent_main: descriptors 0, 1 and 2 open
// (on "/dev/null" when they were closed), SIGPIPE ignored, and every fatal
// fault turned into a one-line diagnostic with status 101.
void prepare_process();

}  // namespace toln
