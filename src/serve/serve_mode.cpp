#include "serve/serve_mode.hpp"

#include <fcntl.h>

#include <cerrno>
#include <ctime>
#include <limits>
#include <optional>

#include "engine/run_bundle.hpp"
#include "host/console.hpp"
#include "host/read_bounded.hpp"
#include "model/bundle_size.hpp"
#include "model/exit_status.hpp"
#include "model/parse_bundle.hpp"
#include "serve/duration.hpp"
#include "serve/fetch.hpp"
#include "serve/run_id.hpp"
#include "serve/serve_report.hpp"
#include "text/nul_byte.hpp"

namespace toln {
namespace {

constexpr std::string_view kPlainHttpWarning =
    "warning: fetching the bundle over plain http is insecure - the bundle contains decrypted secrets and can be "
    "read or replaced in transit; prefer https or a local path\n";

Result<std::string> read_bundle_file(const std::string& path) {
  const std::string unreadable = "failed to read bundle from " + path;
  if (has_nul_byte(path)) return AgentError::config(unreadable + ": path contains a NUL byte");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return AgentError::os(AgentError::Config, unreadable, errno);
  return read_bounded(UniqueFd(fd), kBundleSizeLimit);
}

// The scheme is matched case-sensitively: anything else, "HTTP://" and
// "file://" included, is a local path.
Result<std::string> bundle_text(const std::string& source) {
  if (source.starts_with("http://")) {
    write_stderr(kPlainHttpWarning);
    return fetch_bundle_url(source);
  }
  if (source.starts_with("https://")) return fetch_bundle_url(source);
  return read_bundle_file(source);
}

std::string summary_line(const RunSummary& summary) {
  return "serve: ok=" + std::to_string(summary.ok) + " changed=" + std::to_string(summary.changed) +
         " failed=" + std::to_string(summary.failed) + " skipped=" + std::to_string(summary.skipped) + "\n";
}

// Runs one cycle and prints its line; the summary, or nothing for a failed
// cycle.
std::optional<RunSummary> run_cycle(const ServeArgs& args) {
  auto report = serve_run_once(args.source, args.report_dir);
  if (!report) {
    write_stderr("serve error: " + display_agent_error(report.error()) + "\n");
    return std::nullopt;
  }
  write_stderr(summary_line(report->summary));
  return report->summary;
}

// Sleeps on the monotonic clock, so that changes of the wall clock neither
// stretch nor shorten the wait; an interrupted sleep goes on to the same
// deadline.
void sleep_for_seconds(std::uint64_t seconds) {
  struct timespec deadline {};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  constexpr auto kMaxSeconds = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
  const std::uint64_t now = static_cast<std::uint64_t>(deadline.tv_sec);
  deadline.tv_sec = static_cast<time_t>(seconds > kMaxSeconds - now ? kMaxSeconds : now + seconds);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace

Result<RunReport> serve_run_once(const std::string& source, const std::string& report_dir) {
  auto bundle = [&source]() -> Result<Bundle> {
    auto text = bundle_text(source);
    if (!text) return std::move(text).error();
    return parse_bundle(*text);
  }();
  if (!bundle) return std::move(bundle).error();
  auto report = run_bundle(std::move(bundle).value(), false);
  if (!report) return report;
  auto written = write_serve_report(report_dir, source, *report, current_run_id());
  if (!written) return std::move(written).error();
  return report;
}

void run_serve_mode(const ServeArgs& args, bool dry_run) {
  if (dry_run) write_stderr("warning: --dry-run is ignored in serve mode; serve always applies the bundle\n");
  auto interval = resolve_interval(args.interval, args.once);
  if (!interval) {
    write_stderr("configuration error: " + display_agent_error(interval.error()) + "\n");
    exit_process(5);
  }
  if (!*interval) {
    const auto summary = run_cycle(args);
    exit_process(summary ? summary_exit_status(*summary) : 5);
  }
  for (;;) {
    (void)run_cycle(args);
    sleep_for_seconds(**interval);
  }
}

}  // namespace toln
