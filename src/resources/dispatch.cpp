#include "resources/dispatch.hpp"

#include <array>
#include <string_view>

#include "resources/cmd.hpp"
#include "resources/cron.hpp"
#include "resources/directory.hpp"
#include "resources/download.hpp"
#include "resources/file.hpp"

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
    {"file", apply_file},
    {"cron", apply_cron},
    {"user", not_available},
    {"mount", not_available},
    {"sysctl", not_available},
    {"service", not_available},
    {"apt_repo", not_available},
    {"download", apply_download},
    {"hostname", not_available},
    {"timezone", not_available},
    {"directory", apply_directory},
    {"docker_compose", not_available},
}};

HandlerResult dispatch(const ResolvedResource& resource, bool dry_run, bool is_handler,
                       const ResourceDefTable& resource_defs, const ProviderDefTable& provider_defs) {
  if (resource.resource_type == "cmd") return apply_cmd(resource, dry_run, is_handler);
  for (const auto& builtin : kBuiltinTypes) {
    if (builtin.name == resource.resource_type) return builtin.handler(resource, dry_run);
  }
  if (provider_defs.contains(resource.resource_type) || resource_defs.contains(resource.resource_type)) {
    return not_available(resource, dry_run);
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
