// Ordering 100,000 resources (a chain and a wide fan-in) and evaluating
// `when` conditions.
#include <benchmark/benchmark.h>

#include "engine/order.hpp"
#include "engine/when.hpp"

namespace toln {
namespace {

constexpr int kResources = 100000;

ResolvedResource resource(int i) {
  ResolvedResource r;
  r.resource_type = "cmd";
  r.name = "step-" + std::to_string(i);
  return r;
}

std::vector<ResolvedResource> chain() {
  std::vector<ResolvedResource> resources;
  for (int i = 0; i < kResources; ++i) {
    resources.push_back(resource(i));
    if (i > 0) resources.back().after.push_back("cmd.step-" + std::to_string(i - 1));
  }
  return resources;
}

// Every resource after one of a hundred roots, and a last one after all.
std::vector<ResolvedResource> fan_in() {
  std::vector<ResolvedResource> resources;
  for (int i = 0; i < kResources - 1; ++i) {
    resources.push_back(resource(i));
    if (i >= 100) resources.back().after.push_back("cmd.step-" + std::to_string(i % 100));
  }
  ResolvedResource last = resource(kResources - 1);
  for (int i = 0; i < kResources - 1; ++i) last.after.push_back("cmd.step-" + std::to_string(i));
  resources.push_back(std::move(last));
  return resources;
}

void order(benchmark::State& state, const std::vector<ResolvedResource>& resources) {
  for (auto _ : state) {
    auto levels = order_resources(resources);
    if (!levels) state.SkipWithError("ordering failed");
    benchmark::DoNotOptimize(levels);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(resources.size()));
}

void BM_OrderChain(benchmark::State& state) { order(state, chain()); }
void BM_OrderFanIn(benchmark::State& state) { order(state, fan_in()); }

void BM_EvalWhen(benchmark::State& state) {
  const FactTable facts = {{"os", "debian"}, {"role", "web"}, {"env", "prod"}, {"tier", "1"}};
  const std::string_view conditions[] = {
      "os == debian",
      "role != db && env == 'prod'",
      "!tier || os == \"ubuntu\"",
      "missing == x || role == web && tier",
  };
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(eval_when(conditions[i++ % 4], facts));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OrderChain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderFanIn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EvalWhen)->Iterations(1000000);

}  // namespace
}  // namespace toln

BENCHMARK_MAIN();
