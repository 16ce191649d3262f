#include "resources/resource_def.hpp"

#include "host/process.hpp"
#include "text/truncate.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct ParamText {
  std::optional<std::string> operator()(const std::string& text) const { return text; }
  std::optional<std::string> operator()(std::int64_t number) const { return std::to_string(number); }
  std::optional<std::string> operator()(double number) const { return float_text(number); }
  std::optional<std::string> operator()(bool flag) const { return flag ? "true" : "false"; }
  template <class Other>
  std::optional<std::string> operator()(const Other&) const {
    return std::nullopt;
  }
};

// A property of the resource wins over the default, even when it has no
// text: then the parameter is left out rather than silently defaulted.
EnvEntries param_environment(const ResolvedResource& resource, const ParamTable& params) {
  EnvEntries env;
  for (const auto& [name, param] : params) {
    const auto property = resource.props.find(name);
    const TomlValue* source = property != resource.props.end() ? &property->second
                              : param.default_value                ? &*param.default_value
                                                                  : nullptr;
    if (!source) continue;
    if (auto text = param_env_value(*source)) env.emplace("TOLN_PARAM_" + name, std::move(*text));
  }
  return env;
}

}  // namespace

std::optional<std::string> param_env_value(const TomlValue& value) { return std::visit(ParamText{}, value.value); }

HandlerResult apply_resource_def(const ResolvedResource& resource, const ResourceDef& def, bool dry_run) {
  const std::string& type = resource.resource_type;
  const RunOptions with_params{.env = param_environment(resource, def.params)};

  auto check = run(host_programs::shell(def.check), with_params);
  if (!check) return std::move(check).error();
  const std::string check_stderr = lossy_utf8(check->stderr_bytes);

  if (terminating_signal(check->status)) {
    return result_failed(type, resource.name, type + " check terminated by signal: " + truncate_output(check_stderr));
  }
  const int code = exit_code(check->status).value_or(-1);
  if (code == 0) return result_ok(type, resource.name);
  if (code != 1) {
    return result_failed(type, resource.name,
                         type + " check failed (exit " + std::to_string(code) + "): " + truncate_output(check_stderr));
  }

  const std::string wanted = std::string(trim_white(stdout_text(*check)));
  if (dry_run) return result_changed(type, resource.name, wanted.empty() ? "would change" : wanted);

  auto apply = run(host_programs::shell(def.apply), with_params);
  if (!apply) return std::move(apply).error();
  if (apply->status != 0) {
    return result_failed(type, resource.name,
                         type + " apply failed: " + truncate_output(lossy_utf8(apply->stderr_bytes)));
  }
  return result_changed(type, resource.name, wanted.empty() ? "changed" : wanted);
}

}  // namespace toln
