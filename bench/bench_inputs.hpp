#pragma once
// Inputs shared by the benchmark programs: a large, realistic bundle text and
// a large run report.

#include <cstddef>
#include <string>

#include "model/run_report.hpp"

namespace toln::bench {

// A bundle of `count` resources (cmd and file resources with props, after,
// notify, when, register), about 200 bytes each, with facts and a few type
// definitions in front.
std::string make_bundle_text(std::size_t count);

// A run report of `count` results: ok, changed with a diff and field
// changes, failed with an error, skipped.
RunReport make_run_report(std::size_t count);

}  // namespace toln::bench
