#include "serve/fetch.hpp"

#include "host/host_programs.hpp"
#include "host/process.hpp"
#include "host/read_bounded.hpp"
#include "model/bundle_size.hpp"
#include "text/truncate.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {

Result<std::string> fetch_bundle_url(std::string_view url) {
  // Both pipes are drained at once, so curl never blocks on a full error
  // pipe; one byte beyond the limit is enough to refuse the bundle, and curl
  // is stopped there.
  auto ran = run(host_programs::curl_fetch_bundle(std::string(url)),
                 {.bounds = {.stdout_bound = kBundleSizeLimit + 1, .kill_at_stdout_bound = true}, .cause_only = true});
  if (!ran) return AgentError::config("failed to run curl for " + std::string(url) + ": " + ran.error().message());
  Result<std::string> bundle = judge_bounded_text(std::move(ran->stdout_bytes), kBundleSizeLimit);
  if (!bundle) return bundle;
  if (ran->status != 0) {
    // An error output that is not UTF-8 is shown as empty.
    const std::string_view errors = is_valid_utf8(ran->stderr_bytes) ? ran->stderr_bytes : std::string_view();
    return AgentError::config("curl failed to fetch " + std::string(url) + ": " + std::string(trim_white(errors)) +
                              (ran->stderr_cut ? std::string(kTruncatedMarker) : ""));
  }
  return bundle;
}

}  // namespace toln
