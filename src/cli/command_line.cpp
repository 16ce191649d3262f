#include "cli/command_line.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>
#include <vector>

#include "host/console.hpp"
#include "text/utf8.hpp"

namespace toln {

struct CliDefinition {
  CLI::App app{"", "toln-agent"};
  CLI::App* serve = nullptr;
  CLI::App* help = nullptr;
  CLI::Option* interval_option = nullptr;
  std::vector<std::string> help_topics;
  bool dry_run = false;
  ServeArgs serve_args;
  std::string interval_text;
};

namespace {

const CLI::Validator& utf8_text() {
  static const CLI::Validator validator(
      [](std::string& value) { return is_valid_utf8(value) ? std::string() : std::string("value is not valid UTF-8"); },
      "", "UTF-8");
  return validator;
}

[[noreturn]] void finish(int status, const std::string& out, const std::string& err) {
  if (!out.empty()) write_stdout(out);
  if (!err.empty()) write_stderr(err);
  ::_exit(status);
}

// The help subcommand prints the help of the command or of one of its
// subcommands. App::help() shows the help of whichever subcommand was parsed
// (here `help` itself), so the command's own help comes from the formatter.
[[noreturn]] void print_help_topic(const CliDefinition& cli) {
  const std::string& name = cli.app.get_name();
  const auto& topics = cli.help_topics;
  if (topics.empty()) finish(0, cli.app.get_formatter()->make_help(&cli.app, name, CLI::AppFormatMode::Normal), "");
  const CLI::App* topic = nullptr;
  for (const CLI::App* known : {cli.serve, cli.help}) {
    if (topics[0] == known->get_name()) topic = known;
  }
  if (topic && topics.size() == 1) finish(0, topic->help(name), "");
  // Subcommands have no subcommands of their own.
  const std::string& unknown = topics[topic ? 1 : 0];
  finish(2, "", "error: unrecognized subcommand '" + unknown + "'\n");
}

// Whether an argument is an option or the end of options rather than a value:
// "-" alone and negative numbers ("-5m") are values.
bool looks_like_option(std::string_view arg) {
  return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// The arguments for CLI11, last first. CLI11 reads "--opt=" as "--opt" with
// its value still to come, so "--interval= --once" would take "--once" as the
// interval: the empty value is split off as an argument of its own, which
// CLI11 takes as the option's value. And an option whose value is missing
// never takes the option that follows it: "--source --once --interval 5m"
// would loop over a bundle file named "--once". A flag takes no value, not
// even the empty one CLI11 lets through: "--once=${ONCE}" with the variable
// empty must not run a single cycle.
std::vector<std::string> prepared_args(int argc, char** argv, const CLI::App& serve) {
  const auto value_option = [&](std::string_view name) -> const CLI::Option* {
    for (const CLI::Option* option : serve.get_options()) {
      if (option->get_items_expected_max() > 0 && option->check_lname(std::string(name))) return option;
    }
    return nullptr;
  };
  const auto flag = [&](std::string_view name) -> const CLI::Option* {
    for (const CLI::App* app : {serve.get_parent(), &serve}) {
      for (const CLI::Option* option : app->get_options()) {
        if (option->get_items_expected_max() == 0 && option->check_lname(std::string(name))) return option;
      }
    }
    return nullptr;
  };
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!arg.starts_with("--") || arg == "--") {
      args.emplace_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    if (const CLI::Option* given = flag(arg.substr(2, equals - 2)); given && equals != std::string_view::npos) {
      throw CLI::ArgumentMismatch::FlagOverride(given->get_name());
    }
    const CLI::Option* option = value_option(arg.substr(2, equals - 2));
    if (option && equals == arg.size() - 1) {
      args.emplace_back(arg.substr(0, equals));
      args.emplace_back();
      continue;
    }
    if (option && equals == std::string_view::npos && i + 1 < argc && looks_like_option(argv[i + 1])) {
      throw CLI::ArgumentMismatch::TypedAtLeast(option->get_name(), 1, option->get_type_name());
    }
    args.emplace_back(arg);
  }
  std::reverse(args.begin(), args.end());
  return args;
}

}  // namespace

std::unique_ptr<CliDefinition> build_cli() {
  auto cli = std::make_unique<CliDefinition>();
  CLI::App& app = cli->app;
  app.set_version_flag("-V,--version", "toln-agent " TOLN_VERSION);
  app.require_subcommand(0, 1);

  const char* dry_run_help = "Dry-run the bundle from stdin (push mode); ignored with a subcommand";
  // Flags take no value: "--dry-run=false" is a usage error, not a way to unset.
  app.add_flag("--dry-run", cli->dry_run, dry_run_help)->disable_flag_override();

  cli->serve = app.add_subcommand(
      "serve", "Pull a bundle from a path or URL and bring the host to the declared state on a schedule");
  CLI::App& serve = *cli->serve;
  // The flag is global: accepted after `serve` as well, setting the same value.
  serve.add_flag("--dry-run", cli->dry_run, dry_run_help)->disable_flag_override();
  serve.add_option("--source", cli->serve_args.source, "Bundle source: a local file path or an http(s) URL")
      ->required()
      ->type_name("SOURCE")
      ->check(utf8_text());
  cli->interval_option =
      serve.add_option("--interval", cli->interval_text,
                       "How long to wait between cycles (e.g. 5m, 1h). Required unless --once is set")
          ->type_name("INTERVAL")
          ->check(utf8_text());
  serve.add_flag("--once", cli->serve_args.once, "Run one cycle and exit")->disable_flag_override();
  serve.add_option("--report-dir", cli->serve_args.report_dir, "Directory where per-run reports are written")
      ->type_name("REPORT_DIR")
      ->capture_default_str();

  cli->help = app.add_subcommand("help", "Print this message or the help of the given subcommand");
  cli->help->add_option("subcommand", cli->help_topics, "The subcommand whose help to print");
  return cli;
}

CommandLine parse_command_line(int argc, char** argv) {
  auto cli = build_cli();
  try {
    cli->app.parse(prepared_args(argc, argv, *cli->serve));
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = cli->app.exit(e, out, err);
    finish(code == 0 ? 0 : 2, out.str(), err.str());
  }
  if (cli->help->parsed()) print_help_topic(*cli);

  CommandLine line;
  line.dry_run = cli->dry_run;
  if (cli->serve->parsed()) {
    ServeArgs args = cli->serve_args;
    if (cli->interval_option->count() > 0) args.interval = cli->interval_text;
    line.serve = std::move(args);
  }
  return line;
}

}  // namespace toln
