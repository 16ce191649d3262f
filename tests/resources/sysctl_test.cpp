// The sysctl handler in the sandbox: a fake sysctl keeps each key's value in
// $TOLN_FAKE_STATE/sysctl/{key} and, as the kernel does, prints multi-word
// values separated by tabs; the drop-in file is real, in the overlaid /etc.
#include "resources/sysctl.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harness/sandbox.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

using testing::Invocation;
using testing::Sandbox;
using testing::error_of;
using testing::text;

constexpr const char* kDropin = "/etc/sysctl.d/99-toln.conf";

ResolvedResource sysctl_resource(TomlTable props) {
  ResolvedResource r;
  r.resource_type = "sysctl";
  r.name = "forward";
  r.props = std::move(props);
  return r;
}

ResolvedResource forward(std::string value, bool persist = true) {
  return sysctl_resource({{"key", text("net.ipv4.ip_forward")}, {"value", text(std::move(value))},
                          {"persist", TomlValue{persist}}});
}

void expect_result(const HandlerResult& result, std::optional<std::string> diff) {
  ASSERT_TRUE(result) << error_of(result);
  EXPECT_EQ(result->type, "sysctl");
  EXPECT_EQ(result->name, "forward");
  EXPECT_EQ(result->status, diff ? ResourceStatus::Changed : ResourceStatus::Ok);
  EXPECT_EQ(result->diff, diff);
}

const Invocation kRead = {"sysctl", "-n", "net.ipv4.ip_forward"};
const std::string kPersisted = "persist net.ipv4.ip_forward in /etc/sysctl.d/99-toln.conf";

class SysctlResource : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    std::filesystem::create_directory(sandbox.state_dir() / "sysctl");
    sandbox.add_fake("sysctl", R"(dir="$TOLN_FAKE_STATE/sysctl"
case "$1" in
  -n) if [ -f "$dir/$2" ]; then cat "$dir/$2"
      else echo "sysctl: cannot stat /proc/sys/$2: No such file or directory" >&2; exit 255; fi ;;
  -w) key=${2%%=*}
      if [ -e "$TOLN_FAKE_STATE/write-fails" ]; then echo "sysctl: permission denied on key \"$key\"" >&2; exit 255; fi
      printf '%s\n' "${2#*=}" | tr ' ' '\t' > "$dir/$key" ;;
esac)");
    sandbox.whiteout(kDropin);
    set_kernel("net.ipv4.ip_forward", "0\n");
  }

  void set_kernel(const std::string& key, const std::string& value) {
    std::ofstream(sandbox.state_dir() / "sysctl" / key) << value;
  }
  std::string kernel(const std::string& key) const {
    std::ifstream in(sandbox.state_dir() / "sysctl" / key);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The commands run, without the restorecon of every atomic write.
  std::vector<Invocation> commands() const { return sandbox.invocations_except("restorecon"); }

  Sandbox sandbox;
};

TEST_F(SysctlResource, FirstRunSetsAndPersistsSecondRunIsOk) {
  sandbox.write_upper(kDropin, "# toln\r\nvm.swappiness = 10\r\nnet.ipv4.ip_forward = 0\r\n#net.ipv4.ip_forward = 0\r\n# end", 0600);
  sandbox.run_in_process(
      [] { expect_result(apply_sysctl(forward("1"), false), "net.ipv4.ip_forward: 0 \u2192 1, " + kPersisted); });
  const std::string written = "# toln\nvm.swappiness = 10\n#net.ipv4.ip_forward = 0\n# end\nnet.ipv4.ip_forward = 1\n";
  EXPECT_EQ(sandbox.read_upper(kDropin), written);
  EXPECT_EQ(std::filesystem::status(sandbox.upper_path(kDropin)).permissions(), std::filesystem::perms(0600));
  EXPECT_EQ(kernel("net.ipv4.ip_forward"), "1\n");
  EXPECT_EQ(commands(), (std::vector<Invocation>{kRead, {"sysctl", "-w", "net.ipv4.ip_forward=1"}}));

  sandbox.clear_invocations();
  sandbox.run_in_process([] { expect_result(apply_sysctl(forward("1"), false), std::nullopt); });
  EXPECT_EQ(sandbox.read_upper(kDropin), written);
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kRead}));
}

TEST_F(SysctlResource, NewDropinHoldsTheOneSetting) {
  sandbox.run_in_process(
      [] { expect_result(apply_sysctl(forward("1"), false), "net.ipv4.ip_forward: 0 \u2192 1, " + kPersisted); });
  EXPECT_EQ(sandbox.read_upper(kDropin), "net.ipv4.ip_forward = 1\n");
  EXPECT_EQ(std::filesystem::status(sandbox.upper_path(kDropin)).permissions(), std::filesystem::perms(0644));
}

TEST_F(SysctlResource, DryRunReadsButSetsAndWritesNothing) {
  sandbox.write_upper(kDropin, "# only a comment\n");
  sandbox.run_in_process(
      [] { expect_result(apply_sysctl(forward("1"), true), "net.ipv4.ip_forward: 0 \u2192 1, " + kPersisted); });
  EXPECT_EQ(sandbox.read_upper(kDropin), "# only a comment\n");
  EXPECT_EQ(kernel("net.ipv4.ip_forward"), "0\n");
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kRead}));
}

TEST_F(SysctlResource, WithoutPersistTheDropinIsNotRead) {
  sandbox.write_upper(kDropin, "\xff");
  sandbox.run_in_process([] {
    expect_result(apply_sysctl(forward("0", false), false), std::nullopt);
    auto as_string = sysctl_resource(
        {{"key", text("net.ipv4.ip_forward")}, {"value", text("0")}, {"persist", text("true")}});
    expect_result(apply_sysctl(as_string, false), std::nullopt);
    EXPECT_EQ(error_of(apply_sysctl(forward("0"), false)),
              "resource error: failed to read /etc/sysctl.d/99-toln.conf: stream did not contain valid UTF-8");
  });
  EXPECT_EQ(sandbox.invocations(), (std::vector<Invocation>{kRead, kRead, kRead}));
}

TEST_F(SysctlResource, SettingWithoutBlanksIsPresent) {
  sandbox.write_upper(kDropin, "net.ipv4.ip_forward=0");
  sandbox.run_in_process([] { expect_result(apply_sysctl(forward("0"), false), std::nullopt); });
  EXPECT_EQ(sandbox.read_upper(kDropin), "net.ipv4.ip_forward=0");
}

// A registered output keeps its final line feed; the value is set and
// persisted without it, and the next run finds it in place.
TEST_F(SysctlResource, SurroundingWhiteSpaceOfTheValueIsDropped) {
  sandbox.write_upper(kDropin, "vm.swappiness = 10\n");
  sandbox.run_in_process(
      [] { expect_result(apply_sysctl(forward(" 1\n"), false), "net.ipv4.ip_forward: 0 \u2192 1, " + kPersisted); });
  EXPECT_EQ(sandbox.read_upper(kDropin), "vm.swappiness = 10\nnet.ipv4.ip_forward = 1\n");
  EXPECT_EQ(commands(), (std::vector<Invocation>{kRead, {"sysctl", "-w", "net.ipv4.ip_forward=1"}}));

  sandbox.clear_invocations();
  sandbox.run_in_process([] { expect_result(apply_sysctl(forward("1\n"), false), std::nullopt); });
  EXPECT_EQ(sandbox.read_upper(kDropin), "vm.swappiness = 10\nnet.ipv4.ip_forward = 1\n");
}

// The kernel prints "32768\t60999"; bundles write "32768 60999". Only the
// words count: when they differ the value is set, and persisted, as the bundle
// writes it, and the second run finds both in place.
TEST_F(SysctlResource, MultiWordValues) {
  const std::string key = "net.ipv4.ip_local_port_range";
  const struct {
    std::string kernel;
    std::string wanted;
    bool sets;
  } cases[] = {
      {"32768\t60999\n", "32768 60999", false},
      {"32768  60999\n", "32768 60999", false},
      {"32768\t\t60999\n\n", "32768 60999", false},
      {" \t32768 \t 60999\t\n", "32768 60999", false},
      {"32768\t60999\n", "32768\t60999", false},
      {"32768\t60999\n", "32768   60999", false},
      {"32768\t60999\n", "1024 65000", true},
      {"32768\t60999\n", "1024  65000", true},
      {"32768\t60999\n", "3276 860999", true},
      {"32768\t60999\n", "32768", true},
      {"32768\t60999\n", "32768 60999 1", true},
  };
  for (const auto& c : cases) {
    set_kernel(key, c.kernel);
    sandbox.write_upper(kDropin, "vm.swappiness = 10\n");
    sandbox.clear_invocations();
    const ResolvedResource range =
        sysctl_resource({{"key", text(key)}, {"value", text(c.wanted)}, {"persist", TomlValue{true}}});
    const std::string persisted = "persist " + key + " in /etc/sysctl.d/99-toln.conf";
    sandbox.run_in_process([&] {
      expect_result(apply_sysctl(range, false),
                    c.sets ? key + ": 32768\t60999 \u2192 " + c.wanted + ", " + persisted : persisted);
      expect_result(apply_sysctl(range, false), std::nullopt);
    });
    std::vector<Invocation> expected = {{"sysctl", "-n", key}};
    if (c.sets) expected.push_back({"sysctl", "-w", key + "=" + c.wanted});
    expected.push_back({"sysctl", "-n", key});
    EXPECT_EQ(commands(), expected) << c.wanted;
    EXPECT_EQ(sandbox.read_upper(kDropin), "vm.swappiness = 10\n" + key + " = " + c.wanted + "\n") << c.wanted;
  }
}

TEST_F(SysctlResource, Failures) {
  sandbox.write_upper(kDropin, "# keep\n");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_sysctl(sysctl_resource({{"key", text("no.such")}, {"value", text("1")}}), false)),
              "resource error: failed to read sysctl key 'no.such': sysctl: cannot stat /proc/sys/no.such: No such "
              "file or directory\n");
  });
  std::ofstream(sandbox.state_dir() / "write-fails");
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_sysctl(forward("1"), false)),
              "resource error: sysctl -w failed: sysctl: permission denied on key \"net.ipv4.ip_forward\"\n");
  });
  EXPECT_EQ(sandbox.read_upper(kDropin), "# keep\n") << "nothing is persisted after a failed set";

  sandbox.write_upper("/etc/sysctl.d/real.conf", "# keep\n");
  std::filesystem::remove(sandbox.upper_path(kDropin));
  std::filesystem::create_symlink("real.conf", sandbox.upper_path(kDropin));
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_sysctl(forward("0"), false)),
              "resource error: failed to write /etc/sysctl.d/99-toln.conf: resource error: refusing to atomically "
              "write /etc/sysctl.d/99-toln.conf: path is a symlink");
  });
  EXPECT_EQ(sandbox.read_upper("/etc/sysctl.d/real.conf"), "# keep\n");
}

TEST_F(SysctlResource, RequiredProperties) {
  sandbox.run_in_process([] {
    EXPECT_EQ(error_of(apply_sysctl(sysctl_resource({{"value", text("1")}}), false)),
              "resource error: sysctl resource requires 'key'");
    EXPECT_EQ(error_of(apply_sysctl(
                  sysctl_resource({{"key", text("net.ipv4.ip_forward")}, {"value", TomlValue{std::int64_t{1}}}}),
                  false)),
              "resource error: sysctl resource requires 'value'");
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
}

// Keys and values that would add settings to the drop-in file or options to
// the sysctl command line are refused before anything runs.
TEST_F(SysctlResource, RefusesKeysAndValuesThatInject) {
  sandbox.write_upper(kDropin, "# keep\n");
  sandbox.run_in_process([] {
    struct Case {
      std::string key;
      std::string value;
      std::string error;
    } cases[] = {
        {"net.ipv4.ip_forward=0 kernel.x", "1", "sysctl property 'key' must not contain '='"},
        {"a=b", "1", "sysctl property 'key' must not contain '='"},
        {"net.ipv4 .ip_forward", "1", "sysctl property 'key' must not contain whitespace"},
        {"net.ipv4.ip_forward\nkernel.x", "1", "sysctl property 'key' must not contain whitespace"},
        {"net.ipv4.ip_forward\u00a0", "1", "sysctl property 'key' must not contain whitespace"},
        {"-p", "1", "sysctl property 'key' must not begin with '-'"},
        {"--system", "1", "sysctl property 'key' must not begin with '-'"},
        {"net.ipv4.ip_forward", "1\nkernel.panic = 1", "sysctl property 'value' must not contain a line break"},
        {"net.ipv4.ip_forward", "1\r2", "sysctl property 'value' must not contain a line break"},
        {"net.ipv4.ip_forward", "1\u20282", "sysctl property 'value' must not contain a line break"},
    };
    for (const auto& c : cases) {
      for (bool dry_run : {false, true}) {
        auto result = apply_sysctl(
            sysctl_resource({{"key", text(c.key)}, {"value", text(c.value)}, {"persist", TomlValue{true}}}), dry_run);
        ASSERT_TRUE(result) << error_of(result);
        EXPECT_EQ(result->status, ResourceStatus::Failed) << c.key;
        EXPECT_EQ(result->error, c.error);
      }
    }
  });
  EXPECT_EQ(sandbox.invocations(), std::vector<Invocation>{});
  EXPECT_EQ(sandbox.read_upper(kDropin), "# keep\n");
}

}  // namespace
}  // namespace toln
