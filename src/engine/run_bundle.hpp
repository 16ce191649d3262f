#pragma once
// Running one bundle against the host.

#include <string>
#include <unordered_set>

#include "model/bundle.hpp"
#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

// Orders the ordinary resources, applies each in turn (when test, dependency
// test, registered values, dispatch, register capture, notifications,
// redaction), then runs the notified handlers and the direct notify targets.
// The only error is an ordering error of the ordinary resources.
Result<RunReport> run_bundle(Bundle bundle, bool dry_run);

// The ordinary resources and the handlers, each in bundle order.
struct PartitionedResources {
  std::vector<ResolvedResource> ordinary;
  std::vector<ResolvedResource> handlers;
};
PartitionedResources partition_handlers(std::vector<ResolvedResource> resources);

// The handlers whose id is in the notified set, in bundle order.
std::vector<ResolvedResource> retain_notified_handlers(const std::vector<ResolvedResource>& handlers,
                                                       const std::unordered_set<std::string>& notified);

}  // namespace toln
