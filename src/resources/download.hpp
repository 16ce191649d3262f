#pragma once
// download: a file fetched from a URL (optionally pinned by its SHA-256 and
// optionally taken out of a .zip, .tar.gz or .tgz archive) with a mode and
// an owner, or its removal.

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_download(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
