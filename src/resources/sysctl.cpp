#include "resources/sysctl.hpp"

#include <optional>

#include "host/atomic_write.hpp"
#include "host/file_errors.hpp"
#include "host/file_reading.hpp"
#include "host/process.hpp"
#include "resources/props.hpp"
#include "resources/sysctl_dropin.hpp"
#include "text/lines.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace toln {
namespace {

constexpr const char* kDropin = "/etc/sysctl.d/99-toln.conf";

// A key or value that could add a second setting to the drop-in file or
// turn into an option of "sysctl" is refused before anything runs.
std::optional<std::string> input_fault(std::string_view key, std::string_view value) {
  if (key.find('=') != std::string_view::npos) return "sysctl property 'key' must not contain '='";
  if (has_white_space(key)) return "sysctl property 'key' must not contain whitespace";
  if (key.starts_with('-')) return "sysctl property 'key' must not begin with '-'";
  if (has_line_break(value)) return "sysctl property 'value' must not contain a line break";
  return std::nullopt;
}

// The kernel prints the words of a multi-word value ("32768\t60999")
// separated by tabs, bundles by blanks: only the words count.
bool same_words(std::string_view current, std::string_view wanted) {
  constexpr std::string_view kBlanks = " \t";
  std::size_t a = current.find_first_not_of(kBlanks);
  std::size_t b = wanted.find_first_not_of(kBlanks);
  while (a != std::string_view::npos && b != std::string_view::npos) {
    const std::string_view word_a = current.substr(a, current.find_first_of(kBlanks, a) - a);
    const std::string_view word_b = wanted.substr(b, wanted.find_first_of(kBlanks, b) - b);
    if (word_a != word_b) return false;
    a = current.find_first_not_of(kBlanks, a + word_a.size());
    b = wanted.find_first_not_of(kBlanks, b + word_b.size());
  }
  return a == b;
}

Result<std::string> current_value(const std::string& key) {
  auto probe = run(host_programs::sysctl_read(key));
  if (!probe) return std::move(probe).error();
  if (probe->status != 0) {
    return AgentError::resource("failed to read sysctl key '" + key + "': " + stderr_text(*probe));
  }
  return std::string(trim_white(lossy_utf8(probe->stdout_bytes)));
}

Status persist(const std::string& key, const std::string& value, bool dry_run, std::vector<std::string>& messages) {
  auto dropin = read_file_opt(kDropin);
  if (!dropin) return std::move(dropin).error();
  const std::string text = dropin->value_or("");
  if (sysctl_line_present(split_lines(text), key, value)) return {};
  messages.push_back("persist " + key + " in " + kDropin);
  if (dry_run) return {};
  if (auto written = atomic_write(kDropin, sysctl_dropin_content(text, key, value), std::nullopt); !written) {
    return write_failed_error(kDropin, written.error());
  }
  return {};
}

}  // namespace

HandlerResult apply_sysctl(const ResolvedResource& resource, bool dry_run) {
  auto key = prop_required(resource, "key");
  if (!key) return std::move(key).error();
  auto given_value = prop_required(resource, "value");
  if (!given_value) return std::move(given_value).error();
  const bool persisted = prop_bool(resource, "persist").value_or(false);

  // Surrounding white space means nothing to the kernel or to the readers of
  // sysctl.d, and the current value is read trimmed: kept, a value such as a
  // registered output with its final line feed would be set again, and add a
  // blank line to the drop-in file, on every run.
  const std::string value(trim_white(*given_value));
  if (auto fault = input_fault(*key, value)) return result_failed("sysctl", resource.name, *fault);

  auto current = current_value(*key);
  if (!current) return std::move(current).error();

  std::vector<std::string> messages;
  if (!same_words(*current, value)) {
    messages.push_back(*key + ": " + *current + " \u2192 " + value);
    if (!dry_run) {
      if (auto set = run_checked(host_programs::sysctl_write(*key, value), "sysctl -w"); !set) {
        return std::move(set).error();
      }
    }
  }
  if (persisted) {
    if (auto kept = persist(*key, value, dry_run, messages); !kept) return std::move(kept).error();
  }
  return result_from_messages("sysctl", resource.name, messages);
}

}  // namespace toln
