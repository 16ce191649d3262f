#include "engine/run_bundle.hpp"

#include <optional>
#include <unordered_set>

#include "engine/notify.hpp"
#include "engine/order.hpp"
#include "engine/registers.hpp"
#include "engine/when.hpp"
#include "host/console.hpp"
#include "resources/dispatch.hpp"

namespace toln {
namespace {

constexpr const char* kUnresolvedRegister =
    "unresolved register reference: a referenced register was never set (its producing resource may have been "
    "skipped by `when`)";

ResourceResult engine_entry(const ResolvedResource& r, ResourceStatus status) {
  ResourceResult result = result_ok(r.resource_type, r.name);
  result.status = status;
  return result;
}

ResourceResult skipped(const ResolvedResource& r, std::string error) {
  ResourceResult result = engine_entry(r, ResourceStatus::Skipped);
  result.error = std::move(error);
  return result;
}

// The state of one run, dropped when it ends.
class Run {
 public:
  Run(const Bundle& bundle, bool dry_run) : bundle_(bundle), dry_run_(dry_run) {}

  void apply_ordinary(const ResolvedResource& r) {
    if (r.when && !eval_when(*r.when, bundle_.facts)) {
      results_.push_back(skipped(r, "when: " + *r.when));
      return;
    }
    const std::string id = resource_id(r);
    if (!failed_.empty()) {
      for (const auto& entry : r.after) {
        if (!failed_.contains(entry)) continue;
        results_.push_back(skipped(r, "dependency failed"));
        failed_.insert(id);
        return;
      }
    }
    // Only a resource with placeholders needs its own copy.
    const std::optional<ResolvedResource> substituted = substitute(r);
    const ResolvedResource& ready = substituted ? *substituted : r;
    if (substituted && has_register_placeholder(ready)) {
      if (dry_run_) {
        ResourceResult result = engine_entry(r, ResourceStatus::Changed);
        result.diff = "register values not available in dry-run";
        results_.push_back(std::move(result));
      } else {
        ResourceResult result = engine_entry(r, ResourceStatus::Failed);
        result.error = kUnresolvedRegister;
        results_.push_back(std::move(result));
        failed_.insert(id);
      }
      return;
    }
    ResourceResult result = dispatch(ready, false);
    if (r.register_name && result.output) registers_[*r.register_name] = *result.output;
    if (result.status == ResourceStatus::Changed) collect_notifications(r);
    if (result.status == ResourceStatus::Failed) failed_.insert(id);
    results_.push_back(redact_result(std::move(result), r.sensitive));
  }

  void run_handlers(const std::vector<ResolvedResource>& handlers) {
    if (notified_.empty()) return;
    const std::vector<ResolvedResource> notified = retain_notified_handlers(handlers, notified_);
    auto levels = order_resources(notified);
    if (!levels) {
      const std::string text = "handler dependency error: " + display_agent_error(levels.error());
      write_stderr(text + "\n");
      results_.push_back(result_failed("handler", "dependency resolution", text));
      return;
    }
    for (const auto& level : *levels) {
      for (const ResolvedResource* h : level) run_handler(*h);
    }
  }

  void run_direct_targets() {
    for (const auto& target : direct_targets_) results_.push_back(run_notify_target(target, dry_run_));
  }

  void note_handler_ids(const std::vector<ResolvedResource>& handlers) {
    for (const auto& h : handlers) handler_ids_.insert(resource_id(h));
  }

  std::vector<ResourceResult> take_results() { return std::move(results_); }

 private:
  ResourceResult dispatch(const ResolvedResource& r, bool is_handler) {
    return apply_resource(r, dry_run_, is_handler, bundle_.resource_defs, bundle_.provider_defs);
  }

  // The resource with its placeholders replaced, or nothing when it has none.
  std::optional<ResolvedResource> substitute(const ResolvedResource& r) const {
    if (!has_register_placeholder(r)) return std::nullopt;
    return substitute_registered(r, registers_);
  }

  void collect_notifications(const ResolvedResource& r) {
    for (const auto& target : r.notify) {
      if (handler_ids_.contains(target)) {
        notified_.insert(target);
      } else if (seen_targets_.insert(target).second) {
        direct_targets_.push_back(target);
      }
    }
  }

  void run_handler(const ResolvedResource& h) {
    const std::optional<ResolvedResource> substituted = substitute(h);
    const ResolvedResource& ready = substituted ? *substituted : h;
    if (!dry_run_ && substituted && has_register_placeholder(ready)) {
      results_.push_back(result_failed(h.resource_type, h.name + " (handler)", kUnresolvedRegister));
      return;
    }
    ResourceResult result = dispatch(ready, true);
    result.name += " (handler)";
    results_.push_back(redact_result(std::move(result), h.sensitive));
  }

  const Bundle& bundle_;
  const bool dry_run_;
  std::vector<ResourceResult> results_;
  std::unordered_set<std::string> handler_ids_;
  std::unordered_set<std::string> failed_;
  Registers registers_;
  std::unordered_set<std::string> notified_;
  std::vector<std::string> direct_targets_;
  std::unordered_set<std::string> seen_targets_;
};

}  // namespace

PartitionedResources partition_handlers(std::vector<ResolvedResource> resources) {
  PartitionedResources parts;
  for (auto& r : resources) (r.handler ? parts.handlers : parts.ordinary).push_back(std::move(r));
  return parts;
}

std::vector<ResolvedResource> retain_notified_handlers(const std::vector<ResolvedResource>& handlers,
                                                       const std::unordered_set<std::string>& notified) {
  std::vector<ResolvedResource> kept;
  for (const auto& h : handlers) {
    if (notified.contains(resource_id(h))) kept.push_back(h);
  }
  return kept;
}

Result<RunReport> run_bundle(Bundle bundle, bool dry_run) {
  PartitionedResources parts = partition_handlers(std::move(bundle.resources));
  Run run(bundle, dry_run);
  run.note_handler_ids(parts.handlers);
  auto levels = order_resources(parts.ordinary);
  if (!levels) return std::move(levels).error();
  for (const auto& level : *levels) {
    for (const ResolvedResource* r : level) run.apply_ordinary(*r);
  }
  run.run_handlers(parts.handlers);
  run.run_direct_targets();
  return build_report(std::move(bundle.host), run.take_results());
}

}  // namespace toln
