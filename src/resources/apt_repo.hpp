#pragma once
// apt_repo: an APT repository as a signing key in "/etc/apt/keyrings" and a
// one-line source list in "/etc/apt/sources.list.d", both named after the
// repository.

#include "resources/handler.hpp"

namespace toln {

// Present: fetches the key when its file is missing, rewrites the source
// list when its line differs and then refreshes the package index. Absent:
// removes both files.
HandlerResult apply_apt_repo(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
