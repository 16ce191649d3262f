#include "serve/serve_report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "host/fd_io.hpp"
#include "host/file_services.hpp"
#include "model/report_json.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

AgentError write_error(int outcome) {
  return AgentError::other("failed to write serve report: " + write_failure_text(outcome));
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Writes text to a fresh temporary name in the target's directory, syncs
// it and renames it over the target; on failure the temporary file is gone
// and the target untouched.
Status write_whole_file(const std::string& dir, const std::string& name, std::string_view text) {
  const std::string target = join_path(dir, name);
  const std::string temp = join_path(dir, "." + name + ".tmp");
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return write_error(errno);
  int error = write_all(fd, text);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    (void)::unlink(temp.c_str());
    return write_error(error);
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
  if (const int error = create_dir_all(report_dir)) {
    return AgentError::other("failed to create report dir: " + os_error_text(error));
  }
  auto text = render_serve_report(source, report, run_id);
  if (!text) return std::move(text).error();
  const std::string name = std::string(run_id) + "-serve.json";
  if (auto written = write_whole_file(report_dir, name, *text); !written) return std::move(written).error();
  return join_path(report_dir, name);
}

}  // namespace toln
