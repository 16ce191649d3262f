#pragma once
// Names that nobody can guess ahead of the agent, for what it makes beside
// a path that another user may be able to write.

#include <string>

namespace toln {

// 16 lower-case hexadecimal digits: 64 bits from the kernel's generator,
// else (before its pool is ready, early in boot) a clock reading and a
// count, which still differ from call to call. Every user of such a name
// retries under another when it is taken, so a guessed name costs a try.
std::string random_name_part();

}  // namespace toln
