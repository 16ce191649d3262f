#include "push/push_mode.hpp"

#include <string>
#include <string_view>

#include "engine/run_bundle.hpp"
#include "host/console.hpp"
#include "host/read_bounded.hpp"
#include "model/bundle_size.hpp"
#include "model/exit_status.hpp"
#include "model/parse_bundle.hpp"
#include "model/report_json.hpp"

namespace toln {
namespace {

[[noreturn]] void fail(std::string_view what, const AgentError& error) {
  write_stderr(std::string(what) + display_agent_error(error) + "\n");
  exit_process(5);
}

}  // namespace

void run_push_mode(bool dry_run) {
  // The text goes with the lambda, before the run: only the bundle is needed.
  Result<Bundle> bundle = [] {
    auto text = read_bounded_stdin(kBundleSizeLimit);
    if (!text) fail("failed to read stdin: ", text.error());
    return parse_bundle(*text);
  }();
  if (!bundle) fail("failed to parse bundle: ", bundle.error());
  Result<RunReport> report = run_bundle(std::move(bundle).value(), dry_run);
  if (!report) fail("dependency error: ", report.error());

  std::string json;
  if (auto written = serialize_run_report(*report, json); !written) {
    write_stderr("failed to serialize results: " + written.error().message() + "\n");
    exit_process(7);
  }
  json.push_back('\n');
  write_stdout(json);
  const int status = summary_exit_status(report->summary);
  if (status != 0) exit_process(status);
}

}  // namespace toln
