// The checks of a cron file's texts and the file they render: whatever passes
// gives a file that cron, reading it line by line, sees as the header, the
// MAILTO and environment lines as declared and exactly one line per job,
// each of which splits back into the job's five schedule fields, the user
// and the command. No control character but tab and the line feeds the
// file's own lines end with is in it.
//
// Input: parts separated by NUL: the user; the mailto ("\x01" alone: none);
// the environment (empty: none, else its first byte modulo 4 is the number
// of entries, a table even with none), then that many key and value parts
// (a value "\x01" alone is an integer, which is not written); then schedule
// and command pairs, one per job.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "resources/cron.hpp"
#include "text/utf8.hpp"

namespace {

constexpr std::string_view kHeader = "# Managed by toln \u2014 do not edit manually";
constexpr std::string_view kAbsent = "\x01";
constexpr std::string_view kBlanks = " \t";

std::vector<std::string_view> split_at(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

std::vector<std::string_view> split_pieces(std::string_view field) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t end = field.find_first_of(",-/");
    pieces.push_back(field.substr(0, end));
    if (end == std::string_view::npos) return pieces;
    field.remove_prefix(end + 1);
  }
}

// The next word between blanks and tabs, as cron reads a job line; the
// line is left at the blanks after it.
std::string_view take_word(std::string_view& line) {
  const std::size_t start = std::min(line.find_first_not_of(kBlanks), line.size());
  const std::size_t end = std::min(line.find_first_of(kBlanks, start), line.size());
  const std::string_view word = line.substr(start, end - start);
  line.remove_prefix(end);
  return word;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> found;
  for (std::string_view word = take_word(text); !word.empty(); word = take_word(text)) found.push_back(word);
  return found;
}

// Every piece of a schedule field between ",", "-" and "/" that is a number
// is within the maximum, counted without the validator's own parsing (a
// number too long for any integer counts as too large). A piece that mixes
// digits with "*" is no number and is left to cron.
bool numbers_within(std::string_view field, unsigned maximum) {
  for (const std::string_view piece : split_pieces(field)) {
    if (piece.empty() || piece.find_first_not_of("0123456789") != std::string_view::npos) continue;
    unsigned long long value = 0;
    for (const char digit : piece) value = std::min<unsigned long long>(value * 10 + (digit - '0'), 1000000);
    if (value > maximum) return false;
  }
  return true;
}

void check_job_line(std::string_view line, const toln::CronJob& job, std::string_view user) {
  constexpr unsigned kMaxima[] = {59, 23, 31, 12, 7};
  const std::vector<std::string_view> declared = words(job.schedule);
  TOLN_FUZZ_CHECK(declared.size() == 5);
  // Neither a comment, a blank line nor an assignment: a schedule field first.
  TOLN_FUZZ_CHECK(std::string_view("0123456789*,-/").find(line[line.find_first_not_of(kBlanks)]) !=
                  std::string_view::npos);
  std::string_view rest = line;
  for (std::size_t i = 0; i < 5; ++i) {
    const std::string_view field = take_word(rest);
    TOLN_FUZZ_CHECK(field == declared[i]);
    TOLN_FUZZ_CHECK(field.find_first_not_of("0123456789*,-/") == std::string_view::npos);
    TOLN_FUZZ_CHECK(numbers_within(field, kMaxima[i]));
  }
  TOLN_FUZZ_CHECK(take_word(rest) == user);
  rest.remove_prefix(std::min(rest.find_first_not_of(kBlanks), rest.size()));
  const std::string_view command = job.command;
  TOLN_FUZZ_CHECK(rest == command.substr(std::min(command.find_first_not_of(kBlanks), command.size())));
}

void check_rendered(const std::string& text, std::string_view user, const std::vector<toln::CronJob>& jobs,
                    const std::optional<std::string>& mailto, const toln::TomlTable* env) {
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = toln::next_code_point(text, pos);
    TOLN_FUZZ_CHECK(cp == '\t' || cp == '\n' || (cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp <= 0x9F)));
  }
  TOLN_FUZZ_CHECK(text.ends_with('\n'));
  std::vector<std::string_view> lines = split_at(std::string_view(text).substr(0, text.size() - 1), '\n');

  std::vector<std::string> expected = {std::string(kHeader)};
  if (mailto) expected.push_back("MAILTO=" + *mailto);
  if (env) {
    for (const auto& [key, value] : *env) {
      if (const std::string* string_value = value.as_string()) expected.push_back(key + "=" + *string_value);
    }
  }
  if (mailto || (env && !env->empty())) expected.push_back("");
  TOLN_FUZZ_CHECK(lines.size() == expected.size() + jobs.size());
  for (std::size_t i = 0; i < expected.size(); ++i) TOLN_FUZZ_CHECK(lines[i] == expected[i]);
  if (env) {
    // cron takes everything before the first "=" as the variable's name.
    std::size_t line = mailto ? 2 : 1;
    for (const auto& [key, value] : *env) {
      if (!value.as_string()) continue;
      TOLN_FUZZ_CHECK(lines[line].substr(0, lines[line].find('=')) == key);
      ++line;
    }
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) check_job_line(lines[expected.size() + i], jobs[i], user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!toln::is_valid_utf8(input)) return 0;  // every text comes from a UTF-8 bundle
  const std::vector<std::string_view> parts = split_at(input, '\0');
  if (parts.size() < 5) return 0;

  const std::string user(parts[0]);
  std::optional<std::string> mailto;
  if (parts[1] != kAbsent) mailto = std::string(parts[1]);
  std::optional<toln::TomlTable> env;
  std::size_t next = 3;
  if (!parts[2].empty()) {
    env.emplace();
    for (std::size_t entries = static_cast<unsigned char>(parts[2][0]) % 4; entries > 0; --entries, next += 2) {
      if (next + 1 >= parts.size()) return 0;
      const std::string_view value = parts[next + 1];
      (*env)[std::string(parts[next])] =
          value == kAbsent ? toln::TomlValue{std::int64_t{7}} : toln::TomlValue{std::string(value)};
    }
  }
  std::vector<toln::CronJob> jobs;
  for (; next + 1 < parts.size(); next += 2) jobs.push_back({std::string(parts[next]), std::string(parts[next + 1])});
  if (jobs.empty()) return 0;

  // The handler's order of checks; the first failure ends it.
  if (!toln::check_cron_field("user", user) || !toln::check_cron_word("user", user)) return 0;
  if (mailto && !toln::check_cron_field("mailto", *mailto)) return 0;
  if (env) {
    for (const auto& [key, value] : *env) {
      if (!toln::check_cron_field("env key", key) || !toln::check_cron_word("env key", key)) return 0;
      const std::string* text = value.as_string();
      if (text && !toln::check_cron_field("env value", *text)) return 0;
    }
  }
  for (const auto& job : jobs) {
    const toln::Status schedule = toln::validate_cron_schedule(job.schedule);
    // A refusal is one line, whatever the schedule held.
    if (!schedule) TOLN_FUZZ_CHECK(schedule.error().message().find('\n') == std::string::npos);
    if (!schedule || !toln::check_cron_command(job.command)) return 0;
  }

  const toln::TomlTable* env_table = env ? &*env : nullptr;
  check_rendered(toln::render_cron_file(user, jobs, mailto, env_table), user, jobs, mailto, env_table);
  return 0;
}
