#include "harness/fake_program.hpp"

#include <stdexcept>

namespace toln::testing {
namespace {

std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

void check_fake_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string_view("/\0", 2)) != name.npos)
    throw std::invalid_argument("bad fake program name: " + std::string(name));
}

std::string fake_script(std::string_view name, std::string_view body) {
  check_fake_name(name);
  // One printf, so an invocation is one append.
  return "#!/bin/sh\nprintf '%s\\0' \"$#\" " + shell_quote(name) + " \"$@\" >>\"$TOLN_FAKE_LOG\"\n" +
         std::string(body) + "\n";
}

std::vector<Invocation> parse_fake_log(std::string_view log) {
  std::vector<std::string> fields;
  while (!log.empty()) {
    const auto end = log.find('\0');
    if (end == log.npos) throw std::runtime_error("fake log ends inside a field");
    fields.emplace_back(log.substr(0, end));
    log.remove_prefix(end + 1);
  }
  std::vector<Invocation> invocations;
  for (std::size_t i = 0; i < fields.size();) {
    const std::string& count = fields[i];
    if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != count.npos)
      throw std::runtime_error("fake log: bad argument count '" + count + "'");
    const std::size_t args = std::stoul(count);
    const std::size_t left = fields.size() - i - 1;  // the name and the arguments
    if (left == 0 || args > left - 1) throw std::runtime_error("fake log ends inside an invocation");
    invocations.emplace_back(fields.begin() + static_cast<std::ptrdiff_t>(i + 1),
                             fields.begin() + static_cast<std::ptrdiff_t>(i + 2 + args));
    i += 2 + args;
  }
  return invocations;
}

const std::vector<std::string>& refused_programs() {
  static const std::vector<std::string> programs = {
      "apt-get", "dnf",    "docker",    "dpkg",        "hostnamectl", "mount",   "pacman",  "restorecon",
      "rpm",     "sysctl", "systemctl", "timedatectl", "umount",      "useradd", "userdel", "usermod",
  };
  return programs;
}

std::string refusing_body(std::string_view name) {
  return "echo " +
         shell_quote("toln-harness: the real " + std::string(name) + " is not run in a sandbox; add a fake for it") +
         " >&2\nexit 127";
}

}  // namespace toln::testing
