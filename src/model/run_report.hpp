#pragma once
// The outcome of a run: one ResourceResult per report entry, gathered into a
// RunReport with the counts of its statuses.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace toln {

enum class ResourceStatus : std::uint8_t { Ok = 0, Changed = 1, Failed = 2, Skipped = 3 };
enum class ChangeAction : std::uint8_t { Create = 0, Update = 1, Delete = 2 };

struct FieldChange {
  std::string field;
  ChangeAction action = ChangeAction::Update;
  std::optional<std::string> from;
  std::optional<std::string> to;
};

struct ResourceResult {
  std::string type;
  std::string name;
  ResourceStatus status = ResourceStatus::Ok;
  std::optional<std::string> diff;
  std::optional<std::string> from;
  std::optional<std::string> to;
  std::optional<std::string> error;
  std::optional<std::string> output;
  std::vector<FieldChange> changes;
  std::optional<std::string> failure_kind;  // reserved: never set
};

struct RunSummary {
  std::uint64_t changed = 0;
  std::uint64_t ok = 0;
  std::uint64_t failed = 0;
  std::uint64_t skipped = 0;
};

struct RunReport {
  std::string host;
  std::vector<ResourceResult> resources;
  RunSummary summary;
};

ResourceResult result_ok(std::string type, std::string name);
ResourceResult result_changed(std::string type, std::string name, std::string diff);
ResourceResult result_failed(std::string type, std::string name, std::string error);
// Changed with the messages joined by ", ", or ok when there are none.
ResourceResult result_from_messages(std::string type, std::string name,
                                    const std::vector<std::string>& messages);
// Replaces the result's changes by the given list.
ResourceResult result_with_changes(ResourceResult result, std::vector<FieldChange> changes);

FieldChange change_create(std::string field, std::string to);
FieldChange change_update(std::string field, std::string from, std::string to);
FieldChange change_delete(std::string field, std::string from);

RunReport build_report(std::string host, std::vector<ResourceResult> results);

// With sensitive set: from, to and output dropped, diff and every change's
// from and to shown as "[redacted]" where present. The error stays.
ResourceResult redact_result(ResourceResult result, bool sensitive);

// Joins texts with a separator.
std::string join(const std::vector<std::string>& parts, std::string_view separator);

}  // namespace toln
