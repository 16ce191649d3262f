#pragma once

namespace toln {

// What the process needs before agent_main: the allocator tuned,
// descriptors 0, 1 and 2 open (on "/dev/null" when they were closed),
// SIGPIPE ignored, and every fatal fault turned into a one-line diagnostic
// with status 101.
void prepare_process();

// The allocator settings of the agent's process; part of prepare_process,
// and called by the benchmarks so that they measure the same heap.
void tune_allocator();

}  // namespace toln
