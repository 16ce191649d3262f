#pragma once
// The two JSON forms of the result records: the compact text of the push-mode
// report (keys in record order, written straight into one buffer) and the
// value form (objects with keys in byte order) that the serve report uses.

#include <nlohmann/json.hpp>
#include <string>

#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

class CompactJsonWriter;

// Compact form: appends the report's one-line JSON text to buffer. The error
// carries the JSON library's text.
Status serialize_run_report(const RunReport& report, std::string& buffer);
void serialize_run_summary(CompactJsonWriter& out, const RunSummary& summary);
void serialize_resource_result(CompactJsonWriter& out, const ResourceResult& result);
void serialize_field_change(CompactJsonWriter& out, const FieldChange& change);

// Value form.
nlohmann::json serialize_run_report(const RunReport& report);
nlohmann::json serialize_run_summary(const RunSummary& summary);
nlohmann::json serialize_resource_result(const ResourceResult& result);
nlohmann::json serialize_field_change(const FieldChange& change);

std::string_view serialize_resource_status(ResourceStatus status);
std::string_view serialize_change_action(ChangeAction action);

}  // namespace toln
