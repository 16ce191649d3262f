#include "bench_inputs.hpp"

#include <cstdio>

namespace toln::bench {
namespace {

std::string padded(std::size_t i) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%06zu", i);
  return buffer;
}

void append_file_resource(std::string& out, std::size_t i) {
  const std::string id = padded(i);
  out += "[[resources]]\nresource_type = \"file\"\nname = \"/etc/app/conf-" + id + ".conf\"\n";
  out += "after = [\"cmd.setup-" + padded(i - 1) + "\"]\n";
  out += "notify = [\"restart:app-" + id + ".service\"]\n";
  if (i % 3 == 0) out += "when = \"os == debian && role != db\"\n";
  out += "[resources.props]\ncontent = \"listen = 80" + id.substr(4) + "\\nworkers = 4\\n\"\nmode = \"0644\"\n";
  out += "owner = \"root\"\n\n";
}

void append_cmd_resource(std::string& out, std::size_t i) {
  const std::string id = padded(i);
  out += "[[resources]]\nresource_type = \"cmd\"\nname = \"setup-" + id + "\"\n";
  out += "props = { command = \"/usr/local/bin/setup --id " + id + "\", creates = \"/var/lib/app/" + id +
         ".done\", timeout = 30, env = [\"A=1\", \"B=2\"] }\n";
  if (i % 5 == 0) out += "register = \"setup_" + id + "\"\n";
  if (i % 7 == 0) out += "sensitive = true\n";
  out += "\n";
}

}  // namespace

std::string make_bundle_text(std::size_t count) {
  std::string out = "host = \"bench-host\"\n\n[facts]\nos = \"debian\"\nrole = \"web\"\nenv = \"prod\"\n\n";
  out += "[resource_defs.motd]\ndescription = \"message of the day\"\ncheck = \"test -f /etc/motd\"\n"
         "apply = \"printf '%s' \\\"$TOLN_PARAM_text\\\" > /etc/motd\"\n"
         "params = { text = { type = \"string\", required = true }, mode = { default = \"0644\" } }\n\n";
  out += "[provider_defs.py]\ninterpreter = [\"python3\", \"-u\"]\nsource = '''\nimport json, sys\n"
         "print(json.dumps({\"status\": \"ok\"}))\n'''\n\n";
  out.reserve(out.size() + count * 220);
  for (std::size_t i = 1; i <= count; ++i) {
    if (i % 2 == 0) {
      append_file_resource(out, i);
    } else {
      append_cmd_resource(out, i);
    }
  }
  return out;
}

RunReport make_run_report(std::size_t count) {
  std::vector<ResourceResult> results;
  results.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string id = padded(i);
    switch (i % 4) {
      case 0: results.push_back(result_ok("pkg", "nginx-" + id)); break;
      case 1:
        results.push_back(result_with_changes(
            result_changed("file", "/etc/app/conf-" + id + ".conf", "content, mode 0644 \xE2\x86\x92 0600"),
            {change_update("content", "sha256:0123456789abcdef", "sha256:fedcba9876543210"),
             change_update("mode", "0644", "0600")}));
        break;
      case 2:
        results.push_back(result_failed(
            "cmd", "setup-" + id, "resource error: /usr/local/bin/setup failed: exit status 1\n\"quoted\" \\ path"));
        break;
      default: {
        ResourceResult skipped = result_ok("service", "app-" + id);
        skipped.status = ResourceStatus::Skipped;
        skipped.error = "skipped: dependency failed";
        results.push_back(std::move(skipped));
      }
    }
  }
  return build_report("bench-host", std::move(results));
}

}  // namespace toln::bench
