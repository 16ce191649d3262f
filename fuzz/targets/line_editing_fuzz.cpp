// Editing /etc/fstab and the sysctl drop-in: a line the handler does not own
// survives byte for byte and in order, the handler finds its entry in what it
// wrote (so it does not write again), and the text always ends as the files
// must (one final line feed).
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "resources/fstab_lines.hpp"
#include "resources/sysctl_dropin.hpp"
#include "text/lines.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace {

// The lines as written: the editors join lines with single line feeds.
std::vector<std::string_view> written_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    lines.push_back(text.substr(0, newline));
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
  }
  return lines;
}

// The unowned lines of the new text are exactly those of the old one, byte
// for byte (a line's own carriage return, one not before a line feed, stays).
template <class Owned>
void check_foreign_lines_kept(std::string_view before, std::string_view after, Owned owned) {
  std::vector<std::string_view> kept_before, kept_after;
  for (auto line : toln::split_lines(before)) {
    if (!owned(line)) kept_before.push_back(line);
  }
  for (auto line : written_lines(after)) {
    if (!owned(line)) kept_after.push_back(line);
  }
  // A blank last line may go; nothing else may.
  if (kept_before.size() == kept_after.size() + 1 && toln::trim_white(kept_before.back()).empty()) {
    kept_before.pop_back();
  }
  TOLN_FUZZ_CHECK(kept_before == kept_after);
}

bool owns_fstab_line(std::string_view line, std::string_view path) {
  const std::string_view trimmed = toln::trim_white(line);
  if (trimmed.empty() || trimmed.starts_with('#')) return false;
  const auto fields = toln::split_white(trimmed);
  return fields.size() >= 2 && fields[1] == path;
}

bool sets_sysctl_key(std::string_view line, std::string_view key) {
  const std::string_view trimmed = toln::trim_white(line);
  const std::size_t equals = trimmed.find('=');
  return !trimmed.starts_with('#') && equals != std::string_view::npos &&
         toln::trim_white(trimmed.substr(0, equals)) == key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!toln::is_valid_utf8(text)) return 0;  // both files are read as UTF-8

  constexpr std::string_view kPath = "/data";
  constexpr std::string_view kWanted = "/dev/sdb1\t/data\text4\tdefaults\t0\t2";
  const std::string upserted = toln::fstab_upsert_line(text, kWanted, kPath);
  TOLN_FUZZ_CHECK(upserted.ends_with('\n'));
  TOLN_FUZZ_CHECK(toln::fstab_holds_entry(upserted, kWanted, kPath));
  check_foreign_lines_kept(text, upserted, [&](std::string_view line) { return owns_fstab_line(line, kPath); });
  const std::string removed = toln::fstab_remove_line(text, kPath);
  TOLN_FUZZ_CHECK(removed.empty() || removed.ends_with('\n'));
  TOLN_FUZZ_CHECK(!toln::fstab_find_line(removed, kPath));
  check_foreign_lines_kept(text, removed, [&](std::string_view line) { return owns_fstab_line(line, kPath); });

  constexpr std::string_view kKey = "vm.swappiness";
  const std::string dropin = toln::sysctl_dropin_content(text, kKey, "10");
  TOLN_FUZZ_CHECK(dropin.ends_with("vm.swappiness = 10\n"));
  TOLN_FUZZ_CHECK(toln::sysctl_line_present(toln::split_lines(dropin), kKey, "10"));
  check_foreign_lines_kept(text, dropin, [&](std::string_view line) { return sets_sysctl_key(line, kKey); });
  return 0;
}
