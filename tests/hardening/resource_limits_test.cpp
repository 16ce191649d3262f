// The agent at the edges of what it accepts, through the real binary in the
// sandbox: a bundle of exactly the size limit, `when` conditions of a
// mebibyte, a 64 KiB register value fed into 10,000 resources, providers
// that print 60 and 100 MiB, a command that writes 100 MiB to standard error
// and commands that print 3 GiB.
// Each case finishes, is reported as the agent reports it at any size, and
// peaks in resident memory at a stated multiple of its input, measured by
// /usr/bin/time around the agent alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "harness/sandbox.hpp"
#include "resources/agent_report.hpp"
#include "support/resource_testing.hpp"

namespace toln {
namespace {

namespace fs = std::filesystem;
using namespace toln::testing;
using Json = nlohmann::json;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kBundleLimit = 64 * kMiB;
constexpr const char* kTime = "/usr/bin/time";

// AddressSanitizer adds shadow memory and red zones to every allocation,
// and would keep up to 256 MiB of freed memory aside to catch its use: the
// measured runs go without that quarantine, and the bounds allow for the
// rest.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kSlack = 2.0;
Environment measured_environment() {
  const char* given = std::getenv("ASAN_OPTIONS");
  return {{"ASAN_OPTIONS", std::string(given ? given : "") + ":quarantine_size_mb=0"}};
}
#else
constexpr double kSlack = 1.0;
// The C library's allocator asks for transparent huge pages, as on hosts
// that enable them for every program: a mebibyte touched is then one page
// fault, not 256. These runs touch gigabytes, and on virtual machines that
// trap every change of a page table their faults took longer than the rest
// of the suite; the peaks measured stay within the spread between runs.
Environment measured_environment() { return {{"GLIBC_TUNABLES", "glibc.malloc.hugetlb=1"}}; }
#endif

// What becomes of the agent's standard output: the report parsed, its text
// kept, or a file the test does not read (out_file below): a report line of
// hundreds of mebibytes would cost the test more than the agent.
enum class Output { Parsed, Kept, InFile };

struct MeasuredRun {
  RunResult run;
  Json resources;       // the report's entries; empty when not parsed
  double peak_mib = 0;  // the agent's high-water mark of resident memory
};

class ResourceLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    TOLN_REQUIRE_SANDBOX();
    if (!fs::exists(kTime)) GTEST_SKIP() << kTime << " (Debian package time) measures the peak memory";
    // A hang guard: the costliest run took 153 s under the sanitizers beside
    // eight busy loops.
    sandbox.set_run_timeout(std::chrono::minutes(13));
  }

  // Runs the agent under /usr/bin/time, which reports the maximum resident
  // set of the agent and the programs it waited for; time's own few
  // mebibytes are not in it, nor the test process's.
  MeasuredRun run(std::string bundle, Output output = Output::Parsed) {
    const fs::path peak_file = sandbox.scratch_dir() / "peak-kib";
    MeasuredRun measured;
    measured.run = sandbox.run_in_namespace(std::string("exec ") + kTime + " -f %M -o '" + peak_file.string() +
                                                "' '" TOLN_AGENT_PATH "'" +
                                                (output == Output::InFile ? " > '" + out_file().string() + "'" : ""),
                                            std::move(bundle), measured_environment());
    measured.resources = Json::array();
    if (output == Output::Parsed) {
      const Json report = Json::parse(measured.run.out, nullptr, false);
      if (report.is_object() && report.contains("resources")) {
        measured.resources = report["resources"];
      } else {
        ADD_FAILURE() << "no report: " << measured.run.out.substr(0, 500) << measured.run.err.substr(0, 500);
      }
    }
    // time writes "Command exited with non-zero status {}" first for a
    // failed run; the figure is the last line.
    std::ifstream in(peak_file);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    measured.peak_mib = std::stod(last.empty() ? "0" : last) / 1024.0;
    return measured;
  }

  fs::path out_file() const { return sandbox.scratch_dir() / "out.json"; }

  // The peak of a run that does next to nothing: the binary, its
  // libraries and the allocator's start.
  double baseline_mib() {
    if (baseline_ == 0) baseline_ = run("host = \"h\"\nresources = []\n").peak_mib;
    return baseline_;
  }

  void expect_peak_within(const MeasuredRun& measured, double input_mib, double factor, const std::string& what) {
    const double bound = baseline_mib() + kSlack * factor * input_mib;
    std::printf("%s: peak %.1f MiB (baseline %.1f MiB, bound %.1f MiB)\n", what.c_str(), measured.peak_mib,
                baseline_mib(), bound);
    EXPECT_GT(measured.peak_mib, 0) << what << ": no figure from " << kTime;
    EXPECT_LT(measured.peak_mib, bound) << what;
  }

  Sandbox sandbox;
  double baseline_ = 0;
};

std::string repeated(std::string_view part, std::size_t size) {
  std::string text;
  text.reserve(size + part.size());
  while (text.size() < size) text += part;
  return text;
}

Json entry(std::string type, std::string name, std::string status) {
  return {{"type", std::move(type)}, {"name", std::move(name)}, {"status", std::move(status)}};
}

// A bundle of exactly the limit runs; one byte more is refused after
// reading no further than that byte.
TEST_F(ResourceLimits, BundleOfTheSizeLimit) {
  const std::string head =
      "host = \"limits\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"big\"\n[resources.props]\n"
      "creates = \"/\"\ncommand = \"";
  const std::string tail = "\"\n";
  std::string bundle = head + std::string(kBundleLimit - head.size() - tail.size(), 'x') + tail;
  ASSERT_EQ(bundle.size(), kBundleLimit);

  const MeasuredRun accepted = run(bundle);
  EXPECT_EQ(accepted.run.exit_status, 1) << accepted.run.err;
  EXPECT_EQ(accepted.resources, Json::array({entry("cmd", "big", "ok")}));
  // The text, and toml++ holding the long string twice while it parses it
  // (3.0 times the text, measured).
  expect_peak_within(accepted, 64, 3.5, "bundle of 64 MiB");

  bundle.insert(head.size(), "x");
  const MeasuredRun refused = run(std::move(bundle), Output::Kept);
  EXPECT_EQ(refused.run.exit_status, 5);
  EXPECT_EQ(refused.run.err, "failed to read stdin: config error: input too large: exceeds 67108864 bytes\n");
  EXPECT_EQ(refused.run.out, "");
  // No more than the limit and one byte is read.
  expect_peak_within(refused, 64, 1.05, "bundle one byte over 64 MiB");
}

// The shape that costs the most memory per value: long dotted keys in
// props, a table per part, which the record reader copies too, with parts
// of 26 letters, too long for a string's inline buffer (bench/README.md).
// With exactly as many values as the bound admits, and the rest of the
// 64 MiB one long string, this is the peak of any bundle; one value more is
// refused before the TOML library builds anything.
TEST_F(ResourceLimits, BundleOfTheValueBound) {
  constexpr std::size_t kBound = 2000000;
  constexpr std::size_t kParts = 100;
  const std::string part(26, 'a');
  std::string chain;
  for (std::size_t i = 1; i < kParts; ++i) chain += "." + part;
  // Eight values: host, resources, resource_type, name, resources.props,
  // command, creates; the long string is the last.
  std::string bundle =
      "host = \"limits\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"wide\"\n[resources.props]\n"
      "command = \"true\"\ncreates = \"/\"\n";
  std::size_t values = 8;
  for (std::size_t i = 0; values + kParts + 1 <= kBound; ++i, values += kParts) {
    bundle += "k" + std::to_string(i) + part + chain + " = 0\n";
  }
  for (std::size_t i = 0; values + 1 < kBound; ++i, ++values) bundle += "z" + std::to_string(i) + " = 0\n";
  bundle += "s = \"\"\n";
  bundle.insert(bundle.size() - 2, kBundleLimit - bundle.size(), 'x');
  ASSERT_EQ(bundle.size(), kBundleLimit);

  const MeasuredRun accepted = run(bundle);
  EXPECT_EQ(accepted.run.exit_status, 1) << accepted.run.err;
  EXPECT_EQ(accepted.resources, Json::array({entry("cmd", "wide", "ok")}));
  // 936 MiB measured: the stated bound for any bundle is 1 GiB.
  expect_peak_within(accepted, 1024, 1.0, "bundle of the value bound");

  // One key more before the string, which is as much shorter.
  const std::size_t string_line = bundle.rfind("s = \"");
  bundle.insert(string_line, "y = 0\n");
  bundle.erase(string_line + 11, 6);
  ASSERT_EQ(bundle.size(), kBundleLimit);
  const MeasuredRun refused = run(std::move(bundle), Output::Kept);
  EXPECT_EQ(refused.run.exit_status, 5);
  EXPECT_EQ(refused.run.err,
            "failed to parse bundle: parse error: failed to parse bundle: too many values: more than 2000000 keys "
            "and array elements\n\n");
  EXPECT_EQ(refused.run.out, "");
  // The text and nothing more.
  expect_peak_within(refused, 64, 1.05, "bundle one value over the bound");
}

// Conditions of a mebibyte are evaluated as short ones are, and a false
// one is quoted whole in its entry.
TEST_F(ResourceLimits, WhenConditionsOfAMebibyte) {
  const std::string chain = repeated("role == web && ", kMiB - 32);
  const std::string conditions[] = {
      chain + "os == debian",
      chain + "os == centos",
      std::string(kMiB, '!') + "os != centos",
  };
  std::string bundle = "host = \"limits\"\n[facts]\nrole = \"web\"\nos = \"debian\"\n";
  for (std::size_t i = 0; i < std::size(conditions); ++i) {
    bundle += "\n[[resources]]\nresource_type = \"cmd\"\nname = \"c" + std::to_string(i) + "\"\nwhen = \"" +
              conditions[i] + "\"\nprops = { command = \"true\", creates = \"/\" }\n";
  }
  const MeasuredRun measured = run(std::move(bundle));
  EXPECT_EQ(measured.run.exit_status, 1) << measured.run.err;
  Json skipped = entry("cmd", "c1", "skipped");
  skipped["error"] = "when: " + conditions[1];
  EXPECT_EQ(measured.resources, Json::array({entry("cmd", "c0", "ok"), skipped, entry("cmd", "c2", "ok")}));
  // The parse (some ten times the text) and the report quoting one.
  expect_peak_within(measured, 3, 16, "when conditions of 1 MiB");
}

// One command registers 100,000 bytes, cut to 64 KiB with a warning; 10,000
// resources take the value into a property (their creates guard keeps the
// shell from starting), and one more shows the value arrives whole.
TEST_F(ResourceLimits, RegisterValueOf64KiBInTenThousandResources) {
  constexpr int kUsers = 10000;
  std::string bundle = R"(host = "limits"

[[resources]]
resource_type = "cmd"
name = "produce"
register = "big"
props = { command = "head -c 100000 /dev/zero | tr '\\0' x" }

[[resources]]
resource_type = "cmd"
name = "measure"
after = ["cmd.produce"]
register = "length"
props = { command = "printf %s '__TOLN_REG_big__TOLN_END__' | wc -c" }
)";
  for (int i = 0; i < kUsers; ++i) {
    bundle += "\n[[resources]]\nresource_type = \"cmd\"\nname = \"use-" + std::to_string(i) +
              "\"\nafter = [\"cmd.produce\"]\nprops = { command = \"echo __TOLN_REG_big__TOLN_END__\", creates = \"/\" }\n";
  }
  const MeasuredRun measured = run(bundle);
  EXPECT_EQ(measured.run.exit_status, 0) << measured.run.err;
  EXPECT_EQ(measured.run.err, "warning: cmd.produce register output truncated to 65536 bytes\n");
  const Json& resources = measured.resources;
  ASSERT_EQ(resources.size(), kUsers + 2u);
  Json produce = entry("cmd", "produce", "changed");
  produce["output"] = std::string(65536, 'x');
  EXPECT_EQ(resources[0], produce);
  int ok = 0;
  for (const auto& item : resources) ok += item == entry("cmd", item["name"], "ok");
  EXPECT_EQ(ok, kUsers);
  Json measure = entry("cmd", "measure", "changed");
  measure["output"] = "65536";
  EXPECT_NE(std::find(resources.begin(), resources.end(), measure), resources.end()) << resources.back();
  // The parse of 10,000 resources and their records (18 times the bundle,
  // measured); a copy of the value kept per resource would be 640 MiB.
  expect_peak_within(measured, bundle.size() / double(kMiB), 32, "64 KiB register value in 10,000 resources");
}

// 100 MiB of the letter that follows.
const std::string kFloodCommand = "head -c 104857600 /dev/zero | tr '\\0' ";

// The answer of a provider is read whole up to 64 MiB: a response with a
// 60 MiB key the agent ignores; 100 MiB are refused whatever they hold.
TEST_F(ResourceLimits, ProviderPrinting60And100MiB) {
  const auto provider_bundle = [](const std::string& script) {
    return "host = \"limits\"\n\n[[resources]]\nresource_type = \"flood\"\nname = \"answer\"\nprops = {}\n\n"
           "[provider_defs.flood]\ninterpreter = [\"sh\"]\nsource = " +
           toml_string(script) + "\n";
  };
  const MeasuredRun padded = run(provider_bundle(R"(printf '{"status":"changed","diff":"big answer","padding":"'; )"
                                                 "head -c 62914560 /dev/zero | tr '\\0' x; printf '\"}'"));
  EXPECT_EQ(padded.run.exit_status, 0) << padded.run.err.substr(0, 2000);
  Json changed = entry("flood", "answer", "changed");
  changed["diff"] = "big answer";
  EXPECT_EQ(padded.resources, Json::array({changed}));
  // The output as read, and the JSON reader's own copy of the long value
  // (glibc may keep up to 32 MiB of freed smaller buffers in its heap).
  expect_peak_within(padded, 60, 4.5, "provider answer of 60 MiB");

  const MeasuredRun noise = run(provider_bundle(kFloodCommand + "x"));
  EXPECT_EQ(noise.run.exit_status, 3) << noise.run.err.substr(0, 2000);
  Json failed = entry("flood", "answer", "failed");
  failed["error"] = "flood provider response too large: exceeds 67108864 bytes";
  EXPECT_EQ(noise.resources, Json::array({failed}));
  // Only the first 64 MiB are kept; while the buffer grows, the old and the
  // new one are both there.
  expect_peak_within(noise, 64, 2.1, "provider noise of 100 MiB");
}

// A command's standard error is dropped when it succeeds, and quoted in the
// error when it fails: its first 64 MiB, marked as cut.
TEST_F(ResourceLimits, CommandWriting100MiBToStandardError) {
  const auto command_bundle = [](const std::string& exit) {
    return "host = \"limits\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"noisy\"\n"
           "props = { creates = \"/nonexistent\", command = " +
           toml_string(kFloodCommand + "e >&2; exit " + exit) + " }\n";
  };
  const MeasuredRun succeeded = run(command_bundle("0"));
  EXPECT_EQ(succeeded.run.exit_status, 0) << succeeded.run.err.substr(0, 2000);
  EXPECT_EQ(succeeded.resources, Json::array({entry("cmd", "noisy", "changed")}));
  expect_peak_within(succeeded, 100, 2.1, "100 MiB on standard error, exit 0");

  // The report line, compared as text: parsing it would take the test
  // longer than the agent.
  const MeasuredRun failed = run(command_bundle("1"), Output::Kept);
  EXPECT_EQ(failed.run.exit_status, 3);
  EXPECT_TRUE(failed.run.out ==
              R"({"host":"limits","resources":[{"type":"cmd","name":"noisy","status":"failed","error":")"
              "resource error: command failed: " +
                  std::string(64 * kMiB, 'e') +
                  R"x(...(truncated)"}],"summary":{"changed":0,"ok":0,"failed":1,"skipped":0}})x"
                  "\n")
      << failed.run.out.substr(0, 200) << " ... " << failed.run.out.size() << " bytes";
  // The output, its decoded copy, the error texts and the report line.
  expect_peak_within(failed, 64, 5, "100 MiB on standard error, exit 1");
}

// The costliest standard error to quote: NUL bytes, each written "\u0000"
// in the report line, which then takes six times the 64 MiB kept and costs
// more again while its buffer grows.
TEST_F(ResourceLimits, CommandWriting100MiBOfNulBytesToStandardError) {
  const std::string bundle =
      "host = \"limits\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"noisy\"\n"
      "props = { creates = \"/nonexistent\", command = \"head -c 104857600 /dev/zero >&2; exit 1\" }\n";
  const MeasuredRun failed = run(std::move(bundle), Output::InFile);
  EXPECT_EQ(failed.run.exit_status, 3);
  std::string start(200, '\0');
  std::ifstream(out_file(), std::ios::binary).read(start.data(), static_cast<std::streamsize>(start.size()));
  EXPECT_EQ(fs::file_size(out_file()), 6 * 64 * kMiB + 191) << start;
  expect_peak_within(failed, 64, 13, "100 MiB of NUL bytes on standard error, exit 1");
}

// 3 GiB on either stream of a command take no more memory than the 64 MiB
// kept of it. dd writes them in blocks of 64 KiB, 3 GiB in all: head's 4 KiB
// writes cost more than the agent's reading.
TEST_F(ResourceLimits, CommandPrinting3GiB) {
  for (const std::string redirect : {"", " >&2"}) {
    const std::string bundle =
        "host = \"limits\"\n\n[[resources]]\nresource_type = \"cmd\"\nname = \"flood\"\n"
        "props = { creates = \"/nonexistent\", command = \"dd if=/dev/zero bs=65536 count=49152 status=none" +
        redirect + "\" }\n";
    const MeasuredRun measured = run(bundle);
    EXPECT_EQ(measured.run.exit_status, 0) << measured.run.err.substr(0, 2000);
    EXPECT_EQ(measured.resources, Json::array({entry("cmd", "flood", "changed")}));
    const std::string what = "3 GiB on standard " + std::string(redirect.empty() ? "output" : "error");
    std::printf("%s: peak %.1f MiB\n", what.c_str(), measured.peak_mib);
    EXPECT_GT(measured.peak_mib, 0) << what;
    EXPECT_LT(measured.peak_mib, 200 * kSlack) << what;
  }
}

}  // namespace
}  // namespace toln
