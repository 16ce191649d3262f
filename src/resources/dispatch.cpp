#include "resources/dispatch.hpp"

#include <array>
#include <string_view>

#include "resources/cmd.hpp"
#include "resources/provider.hpp"
#include "resources/resource_def.hpp"

namespace toln {
namespace {

using Handler = HandlerResult (*)(const ResolvedResource&, bool dry_run);

HandlerResult not_available(const ResolvedResource& resource, bool) {
  return AgentError::resource("resource type " + resource.resource_type + " is not available yet");
}

struct BuiltinType {
  std::string_view name;
  Handler handler;
};

// "cmd" is dispatched apart: it alone also receives is_handler.
constexpr std::array<BuiltinType, 14> kBuiltinTypes = {{
    {"git", not_available},
    {"pkg", not_available},
    {"file", not_available},
    {"cron", not_available},
    {"user", not_available},
    {"mount", not_available},
    {"sysctl", not_available},
    {"service", not_available},
    {"apt_repo", not_available},
    {"download", not_available},
    {"hostname", not_available},
    {"timezone", not_available},
    {"directory", not_available},
    {"docker_compose", not_available},
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
