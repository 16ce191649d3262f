#pragma once
// Running one bundle against the host.

#include "model/bundle.hpp"
#include "model/result.hpp"
#include "model/results.hpp"

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

}  // namespace toln
