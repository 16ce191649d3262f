#pragma once
// The host's distribution suite ("bookworm", "jammy"), as lsb_release
// reports it.

#include <string>

#include "model/result.hpp"

namespace toln {

// The suite remembered by an earlier successful call of this process, else
// the trimmed output of "lsb_release" "-cs", which is then remembered. A
// failure is not remembered: the next call asks again.
Result<std::string> detect_suite();

}  // namespace toln
