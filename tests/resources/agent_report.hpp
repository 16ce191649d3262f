#pragma once
// Running a bundle through the real agent in a sandbox and reading its
// one-line report, for the tests of bundle-defined resource types.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "harness/sandbox.hpp"

namespace toln::testing {

struct AgentReport {
  RunResult run;
  nlohmann::json report;  // null when standard output was not one JSON value
  // What the sandbox's TMPDIR holds after the run: provider scripts must be
  // gone.
  std::vector<std::string> left_in_tmp;

  // The report entry of the resource with that name; a null value (and a
  // test failure) when there is none.
  nlohmann::json entry(std::string_view name) const;
};

// A TOML basic string holding text (JSON's escapes are TOML's too).
inline std::string toml_string(const std::string& text) { return nlohmann::json(text).dump(); }

AgentReport run_bundle(Sandbox& sandbox, const std::string& bundle, bool dry_run, const Environment& env = {});

}  // namespace toln::testing
