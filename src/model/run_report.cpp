#include "model/run_report.hpp"

namespace toln {

ResourceResult result_ok(std::string type, std::string name) {
  ResourceResult r;
  r.type = std::move(type);
  r.name = std::move(name);
  r.status = ResourceStatus::Ok;
  return r;
}

ResourceResult result_changed(std::string type, std::string name, std::string diff) {
  ResourceResult r = result_ok(std::move(type), std::move(name));
  r.status = ResourceStatus::Changed;
  r.diff = std::move(diff);
  return r;
}

ResourceResult result_failed(std::string type, std::string name, std::string error) {
  ResourceResult r = result_ok(std::move(type), std::move(name));
  r.status = ResourceStatus::Failed;
  r.error = std::move(error);
  return r;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out.append(separator);
    out.append(parts[i]);
  }
  return out;
}

ResourceResult result_from_messages(std::string type, std::string name,
                                    const std::vector<std::string>& messages) {
  if (messages.empty()) return result_ok(std::move(type), std::move(name));
  return result_changed(std::move(type), std::move(name), join(messages, ", "));
}

ResourceResult result_with_changes(ResourceResult result, std::vector<FieldChange> changes) {
  result.changes = std::move(changes);
  return result;
}

FieldChange change_create(std::string field, std::string to) {
  return {std::move(field), ChangeAction::Create, std::nullopt, std::move(to)};
}

FieldChange change_update(std::string field, std::string from, std::string to) {
  return {std::move(field), ChangeAction::Update, std::move(from), std::move(to)};
}

FieldChange change_delete(std::string field, std::string from) {
  return {std::move(field), ChangeAction::Delete, std::move(from), std::nullopt};
}

RunReport build_report(std::string host, std::vector<ResourceResult> results) {
  RunReport report;
  report.host = std::move(host);
  for (const auto& r : results) {
    switch (r.status) {
      case ResourceStatus::Ok: ++report.summary.ok; break;
      case ResourceStatus::Changed: ++report.summary.changed; break;
      case ResourceStatus::Failed: ++report.summary.failed; break;
      case ResourceStatus::Skipped: ++report.summary.skipped; break;
    }
  }
  report.resources = std::move(results);
  return report;
}

ResourceResult redact_result(ResourceResult result, bool sensitive) {
  if (!sensitive) return result;
  static const std::string kRedacted = "[redacted]";
  result.from.reset();
  result.to.reset();
  result.output.reset();
  if (result.diff) result.diff = kRedacted;
  for (auto& change : result.changes) {
    if (change.from) change.from = kRedacted;
    if (change.to) change.to = kRedacted;
  }
  return result;
}

}  // namespace toln
