#include "resources/mount.hpp"

#include <array>
#include <optional>

#include "host/atomic_write.hpp"
#include "host/file_reading.hpp"
#include "host/process.hpp"
#include "resources/fstab_lines.hpp"
#include "resources/props.hpp"
#include "text/nul_byte.hpp"
#include "text/unicode.hpp"

namespace toln {
namespace {

constexpr const char* kFstab = "/etc/fstab";

struct Field {
  std::string_view key;
  const std::string& value;
};

// Why a field cannot go into an fstab line, or nothing. Fields are split at
// the same white space that fstab_lines splits at: a field holding any would
// shift the columns, the entry would never be found again, and every run
// would append another copy. A NUL byte would cut the line for C readers.
std::optional<std::string> field_fault(const Field& field) {
  const std::string name = "mount property '" + std::string(field.key) + "'";
  if (field.value.empty()) return name + " must not be empty";
  if (has_white_space(field.value)) return name + " must not contain whitespace";
  if (has_nul_byte(field.value)) return name + " must not contain a NUL byte";
  return std::nullopt;
}

// Blanks, tabs and line ends; other white space in a path is refused below
// as a field fault.
bool has_ascii_white_space(std::string_view text) { return text.find_first_of(" \t\n\f\r") != std::string_view::npos; }

std::optional<std::string> input_fault(const std::array<Field, 6>& fields) {
  const std::string& device = fields[0].value;
  const std::string& path = fields[1].value;
  if (has_ascii_white_space(path)) return "mountpoint with whitespace is not supported";
  for (const Field& field : fields) {
    if (auto fault = field_fault(field)) return fault;
  }
  // mountpoint, mount and umount would read it as an option: "-a" would
  // mount or unmount everything in fstab.
  if (path.starts_with('-')) return "mount property 'path' must not begin with '-'";
  // A line beginning with "#" is a comment: the entry would never be found.
  if (device.starts_with('#')) return "mount property 'device' must not begin with '#'";
  return std::nullopt;
}

Result<bool> is_mounted(const std::string& path) {
  auto probe = run(host_programs::mountpoint(path));
  if (!probe) return std::move(probe).error();
  return probe->status == 0;
}

Status write_fstab(const std::string& text) {
  if (auto written = atomic_write(kFstab, text, std::nullopt); !written) return fstab_write_error(written.error());
  return {};
}

Status keep_absent(const std::string& path, const std::string& fstab, bool dry_run,
                   std::vector<std::string>& messages) {
  auto mounted = is_mounted(path);
  if (!mounted) return std::move(mounted).error();
  if (*mounted) {
    messages.push_back("unmount " + path);
    if (!dry_run) {
      if (auto unmounted = run_checked(host_programs::umount(path), "umount"); !unmounted) return unmounted;
    }
  }
  if (fstab_find_line(fstab, path)) {
    messages.push_back("remove fstab entry for " + path);
    if (!dry_run) return write_fstab(fstab_remove_line(fstab, path));
  }
  return {};
}

Status keep_mounted(const std::string& path, const std::string& fstab, const std::string& wanted, bool dry_run,
                    std::vector<std::string>& messages) {
  if (!fstab_holds_entry(fstab, wanted, path)) {
    messages.push_back("fstab entry for " + path);
    if (!dry_run) {
      if (auto written = write_fstab(fstab_upsert_line(fstab, wanted, path)); !written) return written;
    }
  }
  auto mounted = is_mounted(path);
  if (!mounted) return std::move(mounted).error();
  if (!*mounted) {
    messages.push_back("mount " + path);
    if (!dry_run) return run_checked(host_programs::mount(path), "mount");
  }
  return {};
}

}  // namespace

AgentError fstab_write_error(const AgentError& cause) {
  return AgentError::resource(std::string("failed to write ") + kFstab + ": " + display_agent_error(cause));
}

HandlerResult apply_mount(const ResolvedResource& resource, bool dry_run) {
  auto device = prop_required(resource, "device");
  if (!device) return std::move(device).error();
  auto path = prop_required(resource, "path");
  if (!path) return std::move(path).error();
  auto fstype = prop_required(resource, "fstype");
  if (!fstype) return std::move(fstype).error();
  const std::string options = prop_str_or(resource, "options", "defaults");
  const std::string dump = prop_str_or(resource, "dump", "0");
  const std::string pass = prop_str_or(resource, "pass", "0");
  const std::string state = prop_str_or(resource, "state", "mounted");

  const std::array<Field, 6> fields = {{{"device", *device},
                                        {"path", *path},
                                        {"fstype", *fstype},
                                        {"options", options},
                                        {"dump", dump},
                                        {"pass", pass}}};
  if (auto fault = input_fault(fields)) return result_failed("mount", resource.name, *fault);

  auto fstab = read_file_opt(kFstab);
  if (!fstab) return std::move(fstab).error();
  const std::string text = fstab->value_or("");
  const std::string wanted = *device + "\t" + *path + "\t" + *fstype + "\t" + options + "\t" + dump + "\t" + pass;

  std::vector<std::string> messages;
  Status kept;
  if (state == "absent") {
    kept = keep_absent(*path, text, dry_run, messages);
  } else if (state == "mounted") {
    kept = keep_mounted(*path, text, wanted, dry_run, messages);
  } else {
    return AgentError::resource("mount resource: unsupported state '" + state +
                                "'; expected 'mounted' or 'absent'");
  }
  if (!kept) return std::move(kept).error();
  return result_from_messages("mount", resource.name, messages);
}

}  // namespace toln
