#include "resources/pkg.hpp"

#include <vector>

#include "host/process.hpp"
#include "resources/package_manager.hpp"
#include "resources/props.hpp"

namespace toln {
namespace {

Result<std::vector<std::string>> package_names(const ResolvedResource& resource) {
  std::vector<std::string> names;
  const TomlValue* listed = prop_value(resource, "names");
  if (const TomlArray* array = listed ? listed->as_array() : nullptr) {
    for (const auto& element : *array) {
      if (const std::string* name = element.as_string()) names.push_back(*name);
    }
  } else if (auto name = prop_str(resource, "name")) {
    names.push_back(std::move(*name));
  } else {
    return AgentError::resource("pkg resource requires 'name' or 'names'");
  }
  // The package manager runs as root: a name it would read as an option
  // could change what it does, so such a name stops the resource before
  // any package is touched.
  for (const auto& name : names) {
    if (name.starts_with('-')) return AgentError::resource("invalid package name: " + name);
  }
  return names;
}

// Runs a changing command; a non-zero status gives the failure text
// followed by the command's standard error.
Status run_change(const HostCommand& command, const std::string& failure) {
  auto ran = run(command);
  if (!ran) return std::move(ran).error();
  if (ran->status != 0) return AgentError::resource(failure + stderr_text(*ran));
  return {};
}

}  // namespace

HandlerResult apply_pkg(const ResolvedResource& resource, bool dry_run) {
  const auto manager = detect_package_manager();
  if (!manager) return AgentError::resource("no supported package manager found");
  const std::string state = prop_str_or(resource, "state", "present");
  auto names = package_names(resource);
  if (!names) return std::move(names).error();

  std::vector<std::string> messages;
  std::vector<FieldChange> changes;
  bool cache_refreshed = false;
  for (const auto& name : *names) {
    auto query = run(package_query(*manager, name));
    if (!query) return std::move(query).error();
    const bool installed = query_reports_installed(*manager, *query);

    if (state == "absent" && installed) {
      messages.push_back("-" + name);
      changes.push_back(change_delete("package", name));
      if (dry_run) continue;
      if (auto removed = run_change(package_remove(*manager, name), "failed to remove " + name + ": "); !removed) {
        return std::move(removed).error();
      }
    } else if (state == "present" && !installed) {
      messages.push_back("+" + name);
      changes.push_back(change_create("package", name));
      if (dry_run) continue;
      if (!cache_refreshed) {
        if (auto refreshed = run_change(package_cache_refresh(*manager), "failed to update package cache: ");
            !refreshed) {
          return std::move(refreshed).error();
        }
        cache_refreshed = true;
      }
      if (auto added = run_change(package_install(*manager, name), "failed to install " + name + ": "); !added) {
        return std::move(added).error();
      }
    }
  }
  return result_with_changes(result_from_messages("pkg", resource.name, messages), std::move(changes));
}

}  // namespace toln
