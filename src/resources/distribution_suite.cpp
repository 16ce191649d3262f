#include "resources/distribution_suite.hpp"

#include <mutex>
#include <optional>

#include "host/process.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct RememberedSuite {
  std::mutex mutex;
  std::optional<std::string> suite;
};

RememberedSuite& remembered() {
  static RememberedSuite cell;
  return cell;
}

}  // namespace

Result<std::string> detect_suite() {
  RememberedSuite& cell = remembered();
  {
    std::lock_guard lock(cell.mutex);
    if (cell.suite) return *cell.suite;
  }
  auto ran = run(host_programs::lsb_release_codename());
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) return AgentError::resource("failed to detect distribution suite via lsb_release -cs");
  const std::string answer = lossy_utf8(ran->stdout_bytes);
  std::lock_guard lock(cell.mutex);
  // Should two detections ever race, the first answer stays.
  if (!cell.suite) cell.suite = std::string(trim_white(answer));
  return *cell.suite;
}

}  // namespace toln
