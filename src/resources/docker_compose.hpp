#pragma once
// docker_compose: one compose project directory, its docker-compose.yml and
// .env files, and its stack kept up or down through "docker compose".

#include "resources/handler.hpp"

namespace toln {

HandlerResult apply_docker_compose(const ResolvedResource& resource, bool dry_run);

}  // namespace toln
