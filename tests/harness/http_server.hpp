#pragma once
// A local HTTP server for tests (tests/harness/http_server.py run by the
// system's python3), on 127.0.0.1 at a free port, plain or over TLS. It
// serves the files under a directory and these routes:
//   /status/<code>    that status (200-599) with the body "status <code>\n"
//   /redirect/<path>  302 with Location /<path>
//   /redirect-to?<url> 302 with Location <url>, as written
//   /bytes/<n>        n bytes of "a"
//   /slow             accepts the request and never answers
//   /drip             announces 1000 bytes and sends one every 2 seconds
// It needs no sandbox: a sandboxed agent shares the host's network.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "harness/child_process.hpp"
#include "harness/temp_dir.hpp"

namespace toln::testing {

// The test-only certificate of the TLS server: self-signed for 127.0.0.1,
// so a client trusts it when handed this file (curl: CURL_CA_BUNDLE).
inline constexpr const char* kTestCaBundle = TOLN_SOURCE_DIR "/tests/harness/tls/test-cert.pem";

enum class Scheme { Http, Https };

class HttpServer {
 public:
  // Starts serving root_dir; returns once the server listens. Throws
  // std::runtime_error when it does not come up within 10 seconds.
  explicit HttpServer(const std::filesystem::path& root_dir, Scheme scheme = Scheme::Http);
  // Stops the server and waits for it.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) followed by path ("/" added in
  // front if absent).
  std::string url(std::string_view path) const;
  // Every request so far as "<method> <path>", in arrival order.
  std::vector<std::string> requests() const;

 private:
  TempDir log_dir_;  // before server_: the server writes into it until it stops
  ChildProcess server_;
  Scheme scheme_;
  int port_ = 0;
};

}  // namespace toln::testing
