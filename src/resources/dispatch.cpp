#include "resources/dispatch.hpp"

#include <array>
#include <string_view>

#include "resources/apt_repo.hpp"
#include "resources/cmd.hpp"
#include "resources/cron.hpp"
#include "resources/directory.hpp"
#include "resources/docker_compose.hpp"
#include "resources/download.hpp"
#include "resources/file.hpp"
#include "resources/git.hpp"
#include "resources/hostname_timezone.hpp"
#include "resources/mount.hpp"
#include "resources/pkg.hpp"
#include "resources/provider.hpp"
#include "resources/resource_def.hpp"
#include "resources/service.hpp"
#include "resources/sysctl.hpp"
#include "resources/user.hpp"

namespace toln {
namespace {

using Handler = HandlerResult (*)(const ResolvedResource&, bool dry_run);

struct BuiltinType {
  std::string_view name;
  Handler handler;
};

// "cmd" is dispatched apart: it alone also receives is_handler.
constexpr std::array<BuiltinType, 14> kBuiltinTypes = {{
    {"git", apply_git},
    {"pkg", apply_pkg},
    {"file", apply_file},
    {"cron", apply_cron},
    {"user", apply_user},
    {"mount", apply_mount},
    {"sysctl", apply_sysctl},
    {"service", apply_service},
    {"apt_repo", apply_apt_repo},
    {"download", apply_download},
    {"hostname", apply_hostname},
    {"timezone", apply_timezone},
    {"directory", apply_directory},
    {"docker_compose", apply_docker_compose},
}};

HandlerResult dispatch(const ResolvedResource& resource, bool dry_run, bool is_handler,
                       const ResourceDefTable& resource_defs, const ProviderDefTable& provider_defs) {
  if (resource.resource_type == "cmd") return apply_cmd(resource, dry_run, is_handler);
  for (const auto& builtin : kBuiltinTypes) {
    if (builtin.name == resource.resource_type) return builtin.handler(resource, dry_run);
  }
  if (const auto provider = provider_defs.find(resource.resource_type); provider != provider_defs.end()) {
    return run_provider(resource, provider->second, dry_run);
  }
  if (const auto def = resource_defs.find(resource.resource_type); def != resource_defs.end()) {
    return apply_resource_def(resource, def->second, dry_run);
  }
  return AgentError::resource("unknown resource type: " + resource.resource_type);
}

}  // namespace

ResourceResult apply_resource(const ResolvedResource& resource, bool dry_run, bool is_handler,
                              const ResourceDefTable& resource_defs, const ProviderDefTable& provider_defs) {
  HandlerResult result = dispatch(resource, dry_run, is_handler, resource_defs, provider_defs);
  if (result) return std::move(result).value();
  return result_failed(resource.resource_type, resource.name, display_agent_error(result.error()));
}

}  // namespace toln
