#pragma once
// Serve mode: the agent reads or fetches its bundle itself, runs it with
// changes applied, leaves a report file and a summary line on standard
// error per cycle, and stops after one cycle (--once) or sleeps for the
// interval and starts again for as long as the process lives.

#include <string>

#include "model/result.hpp"
#include "model/run_report.hpp"
#include "serve/serve_args.hpp"

namespace toln {

// One cycle: the bundle from a file or an http(s) URL (plain http warned
// about on standard error), parsed, run, and its report file written.
Result<RunReport> serve_run_once(const std::string& source, const std::string& report_dir);

// The serve branch of the agent. Ends the process itself: with --once after
// the cycle (status 5 for a failed cycle, else the push-mode rule), on a
// configuration error with status 5, and otherwise never.
[[noreturn]] void run_serve_mode(const ServeArgs& args, bool dry_run);

}  // namespace toln
