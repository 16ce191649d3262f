#pragma once
// Push mode: one bundle from standard input, run once, its report as one
// line of JSON on standard output and the exit status from its summary.

namespace toln {

// Returns normally for status 0; ends the process itself with any other
// status (5 for input, parse and ordering errors, 7 for a report that
// cannot be serialised, else the summary's status).
void run_push_mode(bool dry_run);

}  // namespace toln
