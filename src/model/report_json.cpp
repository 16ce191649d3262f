#include "model/report_json.hpp"

#include <optional>
#include <vector>

#include "model/compact_json.hpp"

namespace toln {
namespace {

// One field writer per kind of value; each writes the key and its value.
void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, std::string_view value) {
  out.key(first, key);
  out.string(value);
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, const std::string& value) {
  json_struct_field(out, first, key, std::string_view(value));
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key,
                       const std::optional<std::string>& value) {
  if (value) json_struct_field(out, first, key, std::string_view(*value));
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, std::uint64_t value) {
  out.key(first, key);
  out.unsigned_number(value);
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, ResourceStatus value) {
  json_struct_field(out, first, key, serialize_resource_status(value));
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, ChangeAction value) {
  json_struct_field(out, first, key, serialize_change_action(value));
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, const RunSummary& value) {
  out.key(first, key);
  serialize_run_summary(out, value);
}

template <class T>
void json_array(CompactJsonWriter& out, const std::vector<T>& items) {
  out.raw('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out.raw(',');
    if constexpr (std::is_same_v<T, ResourceResult>) {
      serialize_resource_result(out, items[i]);
    } else {
      serialize_field_change(out, items[i]);
    }
  }
  out.raw(']');
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key,
                       const std::vector<ResourceResult>& value) {
  out.key(first, key);
  json_array(out, value);
}

void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key,
                       const std::vector<FieldChange>& value) {
  out.key(first, key);
  json_array(out, value);
}

void set_optional(nlohmann::json& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

}  // namespace

std::string_view serialize_resource_status(ResourceStatus status) {
  switch (status) {
    case ResourceStatus::Ok: return "ok";
    case ResourceStatus::Changed: return "changed";
    case ResourceStatus::Failed: return "failed";
    case ResourceStatus::Skipped: return "skipped";
  }
  return "ok";
}

std::string_view serialize_change_action(ChangeAction action) {
  switch (action) {
    case ChangeAction::Create: return "create";
    case ChangeAction::Update: return "update";
    case ChangeAction::Delete: return "delete";
  }
  return "update";
}

void serialize_run_summary(CompactJsonWriter& out, const RunSummary& summary) {
  bool first = true;
  out.raw('{');
  json_struct_field(out, first, "changed", summary.changed);
  json_struct_field(out, first, "ok", summary.ok);
  json_struct_field(out, first, "failed", summary.failed);
  json_struct_field(out, first, "skipped", summary.skipped);
  out.raw('}');
}

void serialize_field_change(CompactJsonWriter& out, const FieldChange& change) {
  bool first = true;
  out.raw('{');
  json_struct_field(out, first, "field", change.field);
  json_struct_field(out, first, "action", change.action);
  json_struct_field(out, first, "from", change.from);
  json_struct_field(out, first, "to", change.to);
  out.raw('}');
}

void serialize_resource_result(CompactJsonWriter& out, const ResourceResult& result) {
  bool first = true;
  out.raw('{');
  json_struct_field(out, first, "type", result.type);
  json_struct_field(out, first, "name", result.name);
  json_struct_field(out, first, "status", result.status);
  json_struct_field(out, first, "diff", result.diff);
  json_struct_field(out, first, "from", result.from);
  json_struct_field(out, first, "to", result.to);
  json_struct_field(out, first, "error", result.error);
  json_struct_field(out, first, "output", result.output);
  if (!result.changes.empty()) json_struct_field(out, first, "changes", result.changes);
  json_struct_field(out, first, "failure_kind", result.failure_kind);
  out.raw('}');
}

Status serialize_run_report(const RunReport& report, std::string& buffer) {
  try {
    CompactJsonWriter out(buffer);
    bool first = true;
    out.raw('{');
    json_struct_field(out, first, "host", report.host);
    json_struct_field(out, first, "resources", report.resources);
    json_struct_field(out, first, "summary", report.summary);
    out.raw('}');
  } catch (const nlohmann::json::exception& e) {
    return AgentError::other(e.what());
  }
  return {};
}

nlohmann::json serialize_run_summary(const RunSummary& summary) {
  nlohmann::json object = nlohmann::json::object();
  object["changed"] = summary.changed;
  object["ok"] = summary.ok;
  object["failed"] = summary.failed;
  object["skipped"] = summary.skipped;
  return object;
}

nlohmann::json serialize_field_change(const FieldChange& change) {
  nlohmann::json object = nlohmann::json::object();
  object["field"] = change.field;
  object["action"] = serialize_change_action(change.action);
  set_optional(object, "from", change.from);
  set_optional(object, "to", change.to);
  return object;
}

nlohmann::json serialize_resource_result(const ResourceResult& result) {
  nlohmann::json object = nlohmann::json::object();
  object["type"] = result.type;
  object["name"] = result.name;
  object["status"] = serialize_resource_status(result.status);
  set_optional(object, "diff", result.diff);
  set_optional(object, "from", result.from);
  set_optional(object, "to", result.to);
  set_optional(object, "error", result.error);
  set_optional(object, "output", result.output);
  if (!result.changes.empty()) {
    nlohmann::json changes = nlohmann::json::array();
    for (const auto& change : result.changes) changes.push_back(serialize_field_change(change));
    object["changes"] = std::move(changes);
  }
  set_optional(object, "failure_kind", result.failure_kind);
  return object;
}

nlohmann::json serialize_run_report(const RunReport& report) {
  nlohmann::json object = nlohmann::json::object();
  object["host"] = report.host;
  nlohmann::json resources = nlohmann::json::array();
  for (const auto& result : report.resources) resources.push_back(serialize_resource_result(result));
  object["resources"] = std::move(resources);
  object["summary"] = serialize_run_summary(report.summary);
  return object;
}

}  // namespace toln
