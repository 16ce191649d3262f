#include "resources/agent_report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace toln::testing {

nlohmann::json AgentReport::entry(std::string_view name) const {
  if (report.is_object() && report.contains("resources")) {
    for (const auto& item : report["resources"]) {
      if (item.value("name", "") == name) return item;
    }
  }
  ADD_FAILURE() << "no report entry named " << name << " in: " << run.out << run.err;
  return nullptr;
}

AgentReport run_bundle(Sandbox& sandbox, const std::string& bundle, bool dry_run, const Environment& env) {
  AgentReport result;
  std::vector<std::string> args;
  if (dry_run) args.push_back("--dry-run");
  result.run = sandbox.run_agent(args, bundle, env);
  result.report = nlohmann::json::parse(result.run.out, nullptr, false);
  if (result.report.is_discarded()) result.report = nullptr;
  for (const auto& item : std::filesystem::directory_iterator(sandbox.tmp_dir())) {
    result.left_in_tmp.push_back(item.path().filename().string());
  }
  std::sort(result.left_in_tmp.begin(), result.left_in_tmp.end());
  return result;
}

}  // namespace toln::testing
