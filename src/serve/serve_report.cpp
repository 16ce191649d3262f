#include "serve/serve_report.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "host/atomic_write.hpp"
#include "host/dir_tree.hpp"
#include "host/path_parts.hpp"
#include "model/report_json.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Reports quote every error unredacted, so a directory made here is private;
// its missing parents are made as usual and an existing directory keeps the
// mode its operator gave it. An empty path is the working directory.
// 0 or the errno.
int create_report_dir(const std::string& dir) {
  if (dir.empty()) return 0;
  // Taken as atomic_write takes a path: "/srv/app/" names "app" in "/srv".
  if (const auto parent = split_path(dir).parent) {
    if (const int error = create_dir_all(*parent)) return error;
  }
  if (::mkdir(dir.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
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
  if (const int error = create_report_dir(report_dir)) {
    return AgentError::other("failed to create report dir: " + os_error_text(error));
  }
  auto text = render_serve_report(source, report, run_id);
  if (!text) return std::move(text).error();
  const std::string path = join_path(report_dir, std::string(run_id) + "-serve.json");
  if (auto written = atomic_write(path, *text, 0600); !written) {
    return AgentError::other("failed to write serve report: " + written.error().message());
  }
  return path;
}

}  // namespace toln
