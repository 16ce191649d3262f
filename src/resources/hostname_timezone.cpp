#include "resources/hostname_timezone.hpp"

#include "host/file_reading.hpp"
#include "host/process.hpp"
#include "resources/argument_checks.hpp"
#include "resources/props.hpp"
#include "resources/static_hostname.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

struct Setting {
  std::string_view property;  // also the result's type and the message's word
  std::string current;
  HostCommand change;
  std::string_view label;
};

// The wanted value is compared exactly as written: only the current one is
// trimmed.
HandlerResult keep_setting(const ResolvedResource& resource, const std::string& wanted, const Setting& setting,
                           bool dry_run) {
  const std::string type(setting.property);
  if (setting.current == wanted) return result_ok(type, resource.name);
  if (!dry_run) {
    if (auto changed = run_checked(setting.change, setting.label); !changed) return std::move(changed).error();
  }
  return result_changed(type, resource.name, type + " " + setting.current + " -> " + wanted);
}

std::string current_hostname() {
  auto text = read_file_opt("/etc/hostname");
  if (!text || !*text) return "";
  return std::string(trim_white(**text));
}

std::string current_timezone() {
  auto probe = run(host_programs::timedatectl_show_timezone());
  if (!probe || probe->status != 0) return "";
  return std::string(trim_white(lossy_utf8(probe->stdout_bytes)));
}

}  // namespace

// A value beginning with "-" would reach hostnamectl or timedatectl as an
// option ("-H user@host" acts on another machine), so it is refused first.
HandlerResult apply_hostname(const ResolvedResource& resource, bool dry_run) {
  auto wanted = prop_required(resource, "hostname");
  if (!wanted) return std::move(wanted).error();
  if (auto checked = require_not_option_like("hostname", "'hostname'", *wanted); !checked) {
    return std::move(checked).error();
  }
  // A name hostnamectl would rewrite never shows in /etc/hostname as wanted:
  // refused, rather than reported and set again on every run.
  if (auto fault = static_hostname_fault(*wanted)) {
    return AgentError::resource("hostname resource: 'hostname' " + *fault + (wanted->empty() ? "" : ": " + *wanted));
  }
  const Setting setting{"hostname", current_hostname(), host_programs::hostnamectl_set(*wanted), "set-hostname"};
  return keep_setting(resource, *wanted, setting, dry_run);
}

HandlerResult apply_timezone(const ResolvedResource& resource, bool dry_run) {
  auto wanted = prop_required(resource, "timezone");
  if (!wanted) return std::move(wanted).error();
  if (auto checked = require_not_option_like("timezone", "'timezone'", *wanted); !checked) {
    return std::move(checked).error();
  }
  const Setting setting{"timezone", current_timezone(), host_programs::timedatectl_set(*wanted), "set-timezone"};
  return keep_setting(resource, *wanted, setting, dry_run);
}

}  // namespace toln
