#pragma once
// cmd: one guarded shell command, run through "sh" "-c".

#include <string>

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_cmd(const ResolvedResource& resource, bool dry_run, bool is_handler);

// Shortens a captured register text to at most 65536 bytes on a character
// boundary.
void truncate_register_output(std::string& text);

}  // namespace toln
