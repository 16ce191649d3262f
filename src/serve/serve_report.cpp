#include "serve/serve_report.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "host/atomic_write.hpp"
#include "host/path_parts.hpp"
#include "host/safe_path.hpp"
#include "model/report_json.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

constexpr std::string_view kReportDirFailed = "failed to create report dir";

AgentError report_dir_error(const std::string& cause) {
  return AgentError::other(std::string(kReportDirFailed) + ": " + cause);
}

AgentError report_dir_error(int errnum) { return AgentError::os(AgentError::Other, kReportDirFailed, errnum); }

// Reports quote every error unredacted, so a directory made here is private
// and an existing one must be the agent's own (root's): another user's would
// let that user remove the reports or see what went wrong where. Missing
// parents are made with the walk's rule, so another user's link on the way
// never has the agent make a directory where it leads; an existing directory
// keeps the mode its operator gave it. An empty path is the working
// directory.
Status create_report_dir(const std::string& dir) {
  if (dir.empty()) return {};
  // Taken as atomic_write takes a path: "/srv/app/" names "app" in "/srv".
  if (const auto parent = split_path(dir).parent) {
    if (auto made = make_dirs(*parent, ""); !made) {
      const int error = made.error().os_errno();
      // A file on the way is no directory to make one in.
      return error == 0 ? report_dir_error(made.error().message()) : report_dir_error(error == EEXIST ? ENOTDIR : error);
    }
  }
  auto resolved = resolve_path(dir, LastLink::Follow);
  if (!resolved) return report_dir_error(resolved.error().message());
  if (!resolved->exists()) {
    if (!resolved->parent.valid()) return report_dir_error(resolved->missing_errno);
    // As mkdir has it, a dangling link is no place for a directory.
    if (resolved->is_link) return report_dir_error(EEXIST);
    // Made meanwhile by someone else, it is judged as found below.
    if (::mkdirat(resolved->parent.get(), resolved->name.c_str(), 0700) != 0 && errno != EEXIST) {
      return report_dir_error(errno);
    }
    resolved = resolve_path(dir, LastLink::Follow);
    if (!resolved) return report_dir_error(resolved.error().message());
    if (!resolved->exists()) return report_dir_error(resolved->missing_errno);
  }
  if (!S_ISDIR(resolved->st.st_mode)) return report_dir_error(ENOTDIR);
  if (resolved->st.st_uid != ::geteuid()) {
    return report_dir_error("refusing to use " + dir + ": it belongs to uid " + std::to_string(resolved->st.st_uid));
  }
  return {};
}

}  // namespace

ResourceResult scrub_result(const ResourceResult& result) {
  ResourceResult scrubbed = result;
  scrubbed.from.reset();
  scrubbed.to.reset();
  scrubbed.output.reset();
  for (auto& change : scrubbed.changes) {
    change.from.reset();
    change.to.reset();
  }
  if (scrubbed.diff && scrubbed.diff->size() > kReportDiffLimit) {
    std::string& diff = *scrubbed.diff;
    diff.resize(floor_char_boundary(diff, kReportDiffLimit));
    diff += "...";
  }
  return scrubbed;
}

RunReport scrub_report(const RunReport& report) {
  RunReport scrubbed;
  scrubbed.host = report.host;
  scrubbed.summary = report.summary;
  scrubbed.resources.reserve(report.resources.size());
  for (const auto& result : report.resources) scrubbed.resources.push_back(scrub_result(result));
  return scrubbed;
}

Result<std::string> render_serve_report(std::string_view source, const RunReport& report, std::string_view run_id) {
  try {
    nlohmann::json object = nlohmann::json::object();
    object["timestamp"] = run_id;
    object["source"] = source;
    object["summary"] = serialize_run_report(scrub_report(report));
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception& e) {
    return AgentError::other(std::string("failed to serialize serve report: ") + e.what());
  }
}

Result<std::string> write_serve_report(const std::string& report_dir, std::string_view source,
                                       const RunReport& report, std::string_view run_id) {
  if (auto made = create_report_dir(report_dir); !made) return std::move(made).error();
  auto text = render_serve_report(source, report, run_id);
  if (!text) return std::move(text).error();
  const std::string path = join_path(report_dir, std::string(run_id) + "-serve.json");
  if (auto written = atomic_write(path, *text, 0600); !written) {
    return AgentError::other("failed to write serve report: " + written.error().message());
  }
  return path;
}

}  // namespace toln
