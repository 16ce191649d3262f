#pragma once
// Owner and group names as "ls -ld" lists them.

#include <string>

#include "model/result.hpp"

namespace toln {

// The owner column (third field) of "ls -ld path", decoded lossily; empty
// when missing. The exit status is not looked at: only a start failure is an
// error.
Result<std::string> listed_owner(const std::string& path);
// The group column (fourth field), the same way.
Result<std::string> listed_group(const std::string& path);

}  // namespace toln
