#pragma once

#include "model/run_report.hpp"

namespace toln {

// 3 when something failed and nothing was ok or changed, 2 when something
// failed beside ok or changed entries, 1 when nothing failed and nothing
// changed, 0 when something changed and nothing failed. Skips count for
// nothing.
inline int summary_exit_status(const RunSummary& summary) {
  if (summary.failed > 0) return summary.changed + summary.ok == 0 ? 3 : 2;
  if (summary.changed == 0) return 1;
  return 0;
}

}  // namespace toln
