#pragma once
// The shape of a built-in handler: the resource and the dry-run flag in, a
// result or an error out.

#include "model/bundle.hpp"
#include "model/result.hpp"
#include "model/run_report.hpp"

namespace toln {

using HandlerResult = Result<ResourceResult>;

}  // namespace toln
