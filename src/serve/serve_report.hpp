#pragma once
// The report file a serve cycle leaves behind: where the bundle came from,
// when the run was, and the run report without the values it may carry
// (previous and new values, command output) and with diffs cut short.

#include <string>
#include <string_view>

#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

// Diffs longer than this many bytes are cut on a character boundary and
// followed by "...".
inline constexpr std::size_t kReportDiffLimit = 200;

ResourceResult scrub_result(const ResourceResult& result);
RunReport scrub_report(const RunReport& report);

// The file's text: pretty JSON, two-space indent, keys in byte order at
// every depth, no final newline. Errors are AgentError::Other.
Result<std::string> render_serve_report(std::string_view source, const RunReport& report, std::string_view run_id);

// "{run_id}-serve.json" in report_dir, readable by root alone: the file is
// 0600 and a directory made for it 0700. The directory and its parents are
// made with make_dirs's rule for links, and an existing report directory
// that is not root's is refused ("failed to create report dir: refusing to
// use {dir}: it belongs to uid {N}"). The text goes through atomic_write, so
// a reader sees the whole file or none. Returns the path; errors are
// AgentError::Other.
Result<std::string> write_serve_report(const std::string& report_dir, std::string_view source,
                                       const RunReport& report, std::string_view run_id);

}  // namespace toln
