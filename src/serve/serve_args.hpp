#pragma once
// What serve mode receives from the `serve` subcommand.

#include <optional>
#include <string>

namespace toln {

inline constexpr const char* kDefaultReportDir = "/var/lib/toln/runs";

struct ServeArgs {
  std::string source;                   // a file path, or an http(s) URL
  std::optional<std::string> interval;  // as given, parsed only without --once
  bool once = false;
  std::string report_dir = kDefaultReportDir;  // any bytes, as the system gave them
};

}  // namespace toln
