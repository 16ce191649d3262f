// Throughput of bundle parsing (against the TOML library's own parse of the
// same text) and of the compact run report.
//
// The heap is tuned as the agent's process tunes it; --default-heap (before
// the benchmark library's own flags) measures glibc's default heap instead.
#include <benchmark/benchmark.h>
#include <toml++/toml.h>

#include <cstring>

#include "bench_inputs.hpp"
#include "cli/startup.hpp"
#include "model/parse_bundle.hpp"
#include "model/report_json.hpp"
#include "model/toml_bounds.hpp"

namespace toln::bench {
namespace {

constexpr std::size_t kResources = 100000;

const std::string& bundle_text() {
  static const std::string text = make_bundle_text(kResources);
  return text;
}

void BM_ParseBundle(benchmark::State& state) {
  const std::string& text = bundle_text();
  for (auto _ : state) {
    auto bundle = parse_bundle(text);
    if (!bundle) state.SkipWithError(display_agent_error(bundle.error()).c_str());
    benchmark::DoNotOptimize(bundle);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["bundle_MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
}

void BM_TomlLibraryParse(benchmark::State& state) {
  const std::string& text = bundle_text();
  for (auto _ : state) {
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) state.SkipWithError("the bundle text does not parse");
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The scan for the nesting and value bounds alone, part of parse_bundle.
void BM_CheckTomlBounds(benchmark::State& state) {
  const std::string& text = bundle_text();
  for (auto _ : state) {
    auto fault = check_toml_bounds(text);
    if (fault) state.SkipWithError(fault->message.c_str());
    benchmark::DoNotOptimize(fault);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The same scan on one line of n empty strings ("a = ["","",...]"), the
// shape that cost a search to the end of the line per string.
void BM_CheckTomlBoundsLongLine(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::string text = "a = [";
  text.reserve(5 + 3 * count + 2);
  for (std::size_t i = 0; i < count; ++i) text += "\"\",";
  text += "]\n";
  for (auto _ : state) {
    auto fault = check_toml_bounds(text);
    if (fault) state.SkipWithError(fault->message.c_str());
    benchmark::DoNotOptimize(fault);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_SerializeReportCompact(benchmark::State& state) {
  const RunReport report = make_run_report(kResources);
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!serialize_run_report(report, out).ok()) state.SkipWithError("serialisation failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
  state.counters["report_MiB"] = static_cast<double>(out.size()) / (1024.0 * 1024.0);
}

// The value form, for comparison: the serve report builds it once per cycle.
void BM_SerializeReportValue(benchmark::State& state) {
  const RunReport report = make_run_report(kResources);
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string text = serialize_run_report(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

BENCHMARK(BM_ParseBundle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TomlLibraryParse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckTomlBounds)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckTomlBoundsLongLine)->Arg(20'000)->Arg(200'000)->Arg(1'999'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SerializeReportCompact)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SerializeReportValue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace toln::bench

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--default-heap") == 0) {
    argv[1] = argv[0];
    --argc;
    ++argv;
  } else {
    toln::tune_allocator();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
