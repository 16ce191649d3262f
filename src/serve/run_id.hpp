#pragma once
// The run id that names a serve cycle's report: the UTC date and time with
// dashes in place of colons, then the nanoseconds within the second, such as
// 2024-01-02T03-04-05-000000123.

#include <ctime>
#include <string>

namespace toln {

std::string format_run_id(const struct timespec& utc_time);

// The run id of this moment, from the real-time clock.
std::string current_run_id();

}  // namespace toln
