#include "serve/fetch.hpp"

#include <signal.h>

#include <cerrno>
#include <future>
#include <system_error>
#include <thread>

#include "host/host_programs.hpp"
#include "host/process.hpp"
#include "model/read_bounded.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

// The reader's text; a reader that ended abnormally counts as empty.
std::string error_text(std::future<std::string>& errors_read) {
  try {
    return errors_read.get();
  } catch (...) {
    return {};
  }
}

}  // namespace

std::string pipe_reader_thread(UniqueFd pipe) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(pipe.get(), buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  pipe.reset();
  if (!is_valid_utf8(bytes)) bytes.clear();
  return bytes;
}

Result<std::string> fetch_bundle_url(std::string_view url) {
  const HostCommand curl = host_programs::curl_fetch_bundle(std::string(url));
  auto spawned = spawn_child(curl.program, curl.args, {}, StdinMode::Inherit);
  if (auto* failure = std::get_if<SpawnFailure>(&spawned)) {
    return AgentError::config("failed to run curl for " + std::string(url) + ": " + failure->text);
  }
  auto& child = std::get<SpawnedChild>(spawned);

  // curl's standard error is drained on a thread of its own, so that curl
  // never blocks on a full error pipe while its output is read here.
  std::packaged_task<std::string(UniqueFd)> read_errors(pipe_reader_thread);
  std::future<std::string> errors_read = read_errors.get_future();
  std::thread reader;
  try {
    reader = std::thread(std::move(read_errors), std::move(child.stderr_pipe));
  } catch (const std::system_error& e) {
    // curl is running already and must not be left behind.
    ::kill(child.pid, SIGKILL);
    child.stdout_pipe.reset();
    (void)wait_child(child.pid);
    return AgentError::config("failed to start the error reader for curl: " + std::string(e.what()));
  }

  Result<std::string> output = read_bounded(std::move(child.stdout_pipe), kBundleSizeLimit);
  // curl may still be sending; it is not needed any more.
  if (!output) (void)::kill(child.pid, SIGKILL);

  auto waited = wait_child(child.pid);
  if (auto* failure = std::get_if<SpawnFailure>(&waited)) {
    // The reader ends by itself once the pipe closes.
    reader.detach();
    return AgentError::config("failed to wait for curl: " + failure->text);
  }
  reader.join();
  const std::string errors = error_text(errors_read);
  if (!output) return output;
  if (std::get<int>(waited) != 0) {
    return AgentError::config("curl failed to fetch " + std::string(url) + ": " + std::string(trim_white(errors)));
  }
  return output;
}

}  // namespace toln
