#include "resources/docker_compose.hpp"

#include <optional>

#include "host/atomic_write.hpp"
#include "host/file_errors.hpp"
#include "host/file_reading.hpp"
#include "host/process.hpp"
#include "host/safe_path.hpp"
#include "resources/changes.hpp"
#include "resources/props.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr const char* kType = "docker_compose";

// What "up" gathers: the change messages and the records beside them.
// Running: "ps -q" succeeded and listed at least one container. A probe that
// fails counts as not running.
Result<bool> stack_running(const std::string& compose_file) {
  auto probe = run(host_programs::docker_compose(compose_file, {"ps", "-q"}));
  if (!probe) return std::move(probe).error();
  return probe->status == 0 && !trim_white(lossy_utf8(probe->stdout_bytes)).empty();
}

struct ManagedFile {
  std::string path;
  std::string field;    // the record's field
  std::string message;  // the change message
  // Mode of a file that does not exist yet; an existing one keeps its own.
  std::optional<std::uint32_t> new_mode;
};

// The project directory may belong to another user: the files are read and
// written under resolve_path's rule, and read in bounded pieces.
Status keep_file(const ManagedFile& file, const std::string& wanted, bool dry_run, Changes& changes) {
  auto opened = open_path(file.path);
  if (!opened) return std::move(opened).error();
  auto current = check_contents(*opened, file.path, wanted);
  if (!current) return std::move(current).error();
  if (*current && (*current)->equal) return {};
  changes.messages.push_back(file.message);
  changes.records.push_back(content_change(file.field, *current, wanted));
  if (dry_run) return {};
  const auto mode = *current ? std::nullopt : file.new_mode;
  if (auto written = atomic_write(file.path, wanted, mode); !written) {
    return write_failed_error(file.path, written.error());
  }
  return {};
}

HandlerResult bring_down(const ResolvedResource& resource, const std::string& compose_file, bool dry_run) {
  auto running = stack_running(compose_file);
  if (!running) return std::move(running).error();
  if (!*running) return result_ok(kType, resource.name);
  std::vector<FieldChange> records{change_delete("stack", resource.name)};
  if (!dry_run) {
    auto down = run_checked(host_programs::docker_compose(compose_file, {"down"}), "docker compose down");
    if (!down) return std::move(down).error();
  }
  return result_with_changes(result_changed(kType, resource.name, dry_run ? "would stop" : "stopped"),
                             std::move(records));
}

Status start_stack(const std::string& compose_file, bool pull) {
  if (pull) {
    auto pulled = run_checked(host_programs::docker_compose(compose_file, {"pull", "-q"}), "docker compose pull");
    if (!pulled) return pulled;
  }
  return run_checked(host_programs::docker_compose(compose_file, {"up", "-d", "--remove-orphans"}),
                     "docker compose up");
}

HandlerResult bring_up(const ResolvedResource& resource, const std::string& project_dir,
                       const std::string& compose_file, bool dry_run) {
  const bool pull = prop_bool(resource, "pull").value_or(true);
  Changes changes;
  auto resolved = resolve_path(project_dir, LastLink::Follow);
  if (!resolved) return std::move(resolved).error();
  if (!resolved->exists()) {
    changes.messages.push_back("create " + project_dir);
    changes.records.push_back(change_create("project_dir", project_dir));
    if (!dry_run) {
      if (auto made = make_dirs(project_dir, "failed to create " + project_dir); !made) {
        return std::move(made).error();
      }
    }
  }
  if (const auto content = prop_str(resource, "content")) {
    const ManagedFile file{compose_file, "compose_file", "compose file updated", std::nullopt};
    if (auto kept = keep_file(file, *content, dry_run, changes); !kept) return std::move(kept).error();
  }
  if (const auto env_content = prop_str(resource, "env_content")) {
    // The environment file usually holds secrets.
    const ManagedFile file{project_dir + "/.env", "env_file", ".env updated", 0600};
    if (auto kept = keep_file(file, *env_content, dry_run, changes); !kept) return std::move(kept).error();
  }

  auto running = stack_running(compose_file);
  if (!running) return std::move(running).error();
  if (changes.messages.empty() && *running) return result_ok(kType, resource.name);

  changes.records.push_back({"stack", *running ? ChangeAction::Update : ChangeAction::Create, {}, {}});
  if (dry_run) {
    changes.messages.push_back(*running ? "would reconcile via docker compose up -d"
                                        : "would start (containers not running)");
  } else {
    if (!*running) changes.messages.push_back("containers not running");
    if (auto started = start_stack(compose_file, pull); !started) return std::move(started).error();
    changes.messages.push_back("started");
  }
  return std::move(changes).result(kType, resource.name);
}

}  // namespace

HandlerResult apply_docker_compose(const ResolvedResource& resource, bool dry_run) {
  auto project_dir = prop_required(resource, "project_dir");
  if (!project_dir) return std::move(project_dir).error();
  const std::string state = prop_str_or(resource, "state", "up");
  // An empty directory would put the compose file at "/docker-compose.yml".
  if (project_dir->empty()) {
    return result_failed(kType, resource.name, "docker_compose property 'project_dir' must not be empty");
  }
  const std::string compose_file = host_programs::compose_file_path(*project_dir);
  if (state == "down") return bring_down(resource, compose_file, dry_run);
  return bring_up(resource, *project_dir, compose_file, dry_run);
}

}  // namespace toln
