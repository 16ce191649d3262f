#include "serve/fetch.hpp"

#include "host/host_programs.hpp"
#include "host/process.hpp"
#include "host/read_bounded.hpp"
#include "text/truncate.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {

Result<std::string> fetch_bundle_url(std::string_view url) {
  const HostCommand curl = host_programs::curl_fetch_bundle(std::string(url));
  auto spawned = spawn_child(curl.program, curl.args, {}, StdinMode::Inherit);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) {
    return AgentError::config("failed to run curl for " + std::string(url) + ": " + failure->text);
  }

  // Both pipes are drained at once, so curl never blocks on a full error
  // pipe; one byte beyond the limit is enough to refuse the bundle, and curl
  // is stopped there.
  CommandOutput output;
  // Reserved whole, so that growing never holds an old and a new buffer at
  // once; memory the bundle does not reach is never touched.
  output.stdout_bytes.reserve(kBundleSizeLimit + 1);
  auto collected = std::get<OwnedChild>(spawned).collect(
      output, {.stdout_bound = kBundleSizeLimit + 1, .kill_at_stdout_bound = true});
  if (auto* failure = std::get_if<SpawnFailure>(&collected)) {
    return AgentError::config("failed to wait for curl: " + failure->text);
  }
  Result<std::string> bundle = judge_bounded_text(std::move(output.stdout_bytes), kBundleSizeLimit);
  if (!bundle) return bundle;
  if (std::get<int>(collected) != 0) {
    // An error output that is not UTF-8 is shown as empty.
    const std::string_view errors = is_valid_utf8(output.stderr_bytes) ? output.stderr_bytes : std::string_view();
    return AgentError::config("curl failed to fetch " + std::string(url) + ": " + std::string(trim_white(errors)) +
                              (output.stderr_cut ? std::string(kTruncatedMarker) : ""));
  }
  return bundle;
}

}  // namespace toln
