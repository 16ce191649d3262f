#include "resources/provider.hpp"

#include <cmath>

#include "host/process.hpp"
#include "resources/provider_response.hpp"
#include "resources/provider_script.hpp"
#include "text/truncate.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

using Json = nlohmann::json;

struct ToJson {
  Json operator()(const std::string& text) const { return text; }
  Json operator()(std::int64_t number) const { return number; }
  Json operator()(double number) const { return std::isfinite(number) ? Json(number) : Json(nullptr); }
  Json operator()(bool flag) const { return flag; }
  Json operator()(const TomlDateTime& when) const { return datetime_text(when); }
  Json operator()(const TomlArray& items) const {
    Json out = Json::array();
    for (const auto& item : items) out.push_back(toml_to_json(item));
    return out;
  }
  Json operator()(const TomlTable& entries) const {
    Json out = Json::object();
    for (const auto& [key, item] : entries) out[key] = toml_to_json(item);
    return out;
  }
};

// Every property, declared or not, and the defaults of declared parameters
// the resource does not give.
Json merged_params(const ResolvedResource& resource, const ParamTable& params) {
  Json out = Json::object();
  for (const auto& [key, value] : resource.props) out[key] = toml_to_json(value);
  for (const auto& [name, param] : params) {
    if (param.default_value && !resource.props.contains(name)) out[name] = toml_to_json(*param.default_value);
  }
  return out;
}

// Compact, keys in byte order; invalid UTF-8 (which TOML texts never hold)
// would be replaced rather than refused, so encoding cannot fail.
std::string encode_request(const ResolvedResource& resource, const ProviderDef& def, bool dry_run) {
  Json request = Json::object();
  request["action"] = dry_run ? "plan" : "apply";
  request["name"] = resource.name;
  request["params"] = merged_params(resource, def.params);
  request["protocol_version"] = 1;
  request["type"] = resource.resource_type;
  return request.dump(-1, ' ', false, Json::error_handler_t::replace);
}

ResourceResult result_of(const ResolvedResource& resource, ProviderResponse response, bool dry_run) {
  const std::string& type = resource.resource_type;
  ResourceResult result;
  if (response.status == "ok") {
    result = result_ok(type, resource.name);
  } else if (response.status == "changed") {
    result = result_changed(type, resource.name, response.diff ? std::move(*response.diff) : default_diff(dry_run));
  } else if (response.status == "failed") {
    return result_failed(type, resource.name,
                         response.error ? std::move(*response.error) : type + " provider reported failure");
  } else {
    return result_failed(type, resource.name, type + " provider returned invalid status '" + response.status + "'");
  }
  result.output = std::move(response.output);
  return result;
}

}  // namespace

Json toml_to_json(const TomlValue& value) { return std::visit(ToJson{}, value.value); }

std::string default_diff(bool dry_run) { return dry_run ? "would change" : "changed"; }

HandlerResult run_provider(const ResolvedResource& resource, const ProviderDef& def, bool dry_run) {
  const std::string& type = resource.resource_type;
  const std::string request = encode_request(resource, def, dry_run);

  auto script = write_provider_script(def.source);
  if (!script) return std::move(script).error();
  if (def.interpreter.empty()) return AgentError::resource(type + " provider: interpreter is empty");

  std::vector<std::string> args(def.interpreter.begin() + 1, def.interpreter.end());
  args.push_back(script->path());
  auto ran = run({def.interpreter.front(), std::move(args)}, {.input = request});
  if (!ran) return std::move(ran).error();

  if (ran->status != 0) {
    const auto code = exit_code(ran->status);
    return result_failed(type, resource.name,
                         type + " provider exited " + (code ? std::to_string(*code) : "signal") + ": " +
                             truncate_output(lossy_utf8(ran->stderr_bytes)));
  }

  if (ran->stdout_cut) {
    return result_failed(type, resource.name,
                         type + " provider response too large: exceeds " + std::to_string(kCapturedStreamBound) +
                             " bytes");
  }

  // Valid output, the usual case, is read where it lies rather than copied.
  std::string decoded;
  std::string_view text = ran->stdout_bytes;
  if (!is_valid_utf8(text)) text = decoded = lossy_utf8(text);
  auto response = read_provider_response(trim_white(text));
  if (auto* fault = std::get_if<ResponseFault>(&response)) {
    return result_failed(type, resource.name, type + " provider returned invalid JSON response: " + fault->message);
  }
  return result_of(resource, std::move(std::get<ProviderResponse>(response)), dry_run);
}

}  // namespace toln
