#include "model/report_json.hpp"

#include <optional>
#include <vector>

#include "model/compact_json.hpp"

namespace toln {
namespace {

// The one field list of each record, in declaration order (the compact
// form's order); both forms walk it. visit(key, value) is called for every
// key that is written: absent optional texts are the visitor's to skip, an
// empty changes list is never visited.
template <class Visit>
void for_each_field(const RunSummary& summary, Visit&& visit) {
  visit("changed", summary.changed);
  visit("ok", summary.ok);
  visit("failed", summary.failed);
  visit("skipped", summary.skipped);
}

template <class Visit>
void for_each_field(const FieldChange& change, Visit&& visit) {
  visit("field", change.field);
  visit("action", change.action);
  visit("from", change.from);
  visit("to", change.to);
}

template <class Visit>
void for_each_field(const ResourceResult& result, Visit&& visit) {
  visit("type", result.type);
  visit("name", result.name);
  visit("status", result.status);
  visit("diff", result.diff);
  visit("from", result.from);
  visit("to", result.to);
  visit("error", result.error);
  visit("output", result.output);
  if (!result.changes.empty()) visit("changes", result.changes);
  visit("failure_kind", result.failure_kind);
}

template <class Visit>
void for_each_field(const RunReport& report, Visit&& visit) {
  visit("host", report.host);
  visit("resources", report.resources);
  visit("summary", report.summary);
}

// Compact form: one field writer per kind of value; each writes the key and
// its value.
template <class Record>
void write_object(CompactJsonWriter& out, const Record& record);

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
  write_object(out, value);
}

template <class T>
void json_struct_field(CompactJsonWriter& out, bool& first, std::string_view key, const std::vector<T>& items) {
  out.key(first, key);
  out.raw('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out.raw(',');
    write_object(out, items[i]);
  }
  out.raw(']');
}

template <class Record>
void write_object(CompactJsonWriter& out, const Record& record) {
  bool first = true;
  out.raw('{');
  for_each_field(record, [&](std::string_view key, const auto& value) { json_struct_field(out, first, key, value); });
  out.raw('}');
}

// Value form.
template <class Record>
nlohmann::json value_object(const Record& record);

nlohmann::json json_value(const std::string& value) { return value; }
nlohmann::json json_value(std::uint64_t value) { return value; }
nlohmann::json json_value(ResourceStatus value) { return std::string(serialize_resource_status(value)); }
nlohmann::json json_value(ChangeAction value) { return std::string(serialize_change_action(value)); }
nlohmann::json json_value(const RunSummary& value) { return value_object(value); }

template <class T>
nlohmann::json json_value(const std::vector<T>& items) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& item : items) array.push_back(value_object(item));
  return array;
}

template <class T>
void set_field(nlohmann::json& object, std::string_view key, const T& value) {
  object[std::string(key)] = json_value(value);
}

void set_field(nlohmann::json& object, std::string_view key, const std::optional<std::string>& value) {
  if (value) set_field(object, key, *value);
}

template <class Record>
nlohmann::json value_object(const Record& record) {
  nlohmann::json object = nlohmann::json::object();
  for_each_field(record, [&](std::string_view key, const auto& value) { set_field(object, key, value); });
  return object;
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

void serialize_run_summary(CompactJsonWriter& out, const RunSummary& summary) { write_object(out, summary); }
void serialize_field_change(CompactJsonWriter& out, const FieldChange& change) { write_object(out, change); }
void serialize_resource_result(CompactJsonWriter& out, const ResourceResult& result) { write_object(out, result); }

Status serialize_run_report(const RunReport& report, std::string& buffer) {
  try {
    CompactJsonWriter out(buffer);
    write_object(out, report);
  } catch (const nlohmann::json::exception& e) {
    return AgentError::other(e.what());
  }
  return {};
}

nlohmann::json serialize_run_summary(const RunSummary& summary) { return value_object(summary); }
nlohmann::json serialize_field_change(const FieldChange& change) { return value_object(change); }
nlohmann::json serialize_resource_result(const ResourceResult& result) { return value_object(result); }
nlohmann::json serialize_run_report(const RunReport& report) { return value_object(report); }

}  // namespace toln
