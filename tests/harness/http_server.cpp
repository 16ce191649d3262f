#include "harness/http_server.hpp"

#include <fstream>
#include <stdexcept>

namespace toln::testing {
namespace fs = std::filesystem;

namespace {

ChildSpec server_spec(const fs::path& root_dir, const fs::path& log_dir, Scheme scheme) {
  ChildSpec spec;
  spec.program = "/usr/bin/python3";
  spec.argv = {"python3", TOLN_SOURCE_DIR "/tests/harness/http_server.py", root_dir.string(), log_dir.string()};
  if (scheme == Scheme::Https) {
    spec.argv.push_back(kTestCaBundle);
    spec.argv.push_back(TOLN_SOURCE_DIR "/tests/harness/tls/test-key.pem");
  }
  spec.env = {"PATH=/usr/bin:/bin", "PYTHONDONTWRITEBYTECODE=1"};
  return spec;
}

}  // namespace

HttpServer::HttpServer(const fs::path& root_dir, Scheme scheme)
    : log_dir_("toln-http"), server_(server_spec(root_dir, log_dir_.path(), scheme), std::string()), scheme_(scheme) {
  const auto has_line = [&] { return server_.out().find('\n') != std::string::npos; };
  // A hang guard: python took up to 2.3 s to start beside eight busy loops.
  if (!server_.wait_until(has_line, std::chrono::seconds(30)))
    throw std::runtime_error("the test HTTP server did not start: " + server_.stop().err);
  port_ = std::stoi(server_.out());
}

HttpServer::~HttpServer() { server_.stop(); }

std::string HttpServer::url(std::string_view path) const {
  std::string url = (scheme_ == Scheme::Https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
  if (!path.starts_with('/')) url += '/';
  return url.append(path);
}

std::vector<std::string> HttpServer::requests() const {
  std::ifstream log(log_dir_.path() / "requests.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

}  // namespace toln::testing
