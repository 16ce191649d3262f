// Peak memory of one parse_bundle call over the benchmark bundle.
//
// The bundle text is generated first; then the kernel's high-water mark of
// resident memory is reset (writing 5 to /proc/self/clear_refs) and the
// resident size taken as the baseline. After one parse the high-water mark
// minus the baseline is what the parse itself needed at its peak: the TOML
// document, the bundle records and whatever the allocator kept. The heap is
// tuned as in the agent's process. Optional argument: the resource count.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_inputs.hpp"
#include "cli/startup.hpp"
#include "model/parse_bundle.hpp"

namespace {

// A "VmRSS:" or "VmHWM:" line of /proc/self/status, in bytes.
long long status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + field.size()) * 1024;
  }
  return -1;
}

bool reset_high_water_mark() {
  std::ofstream refs("/proc/self/clear_refs");
  refs << "5";
  return static_cast<bool>(refs.flush());
}

}  // namespace

int main(int argc, char** argv) {
  toln::tune_allocator();
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const std::string text = toln::bench::make_bundle_text(count);
  malloc_trim(0);
  if (!reset_high_water_mark()) {
    std::fprintf(stderr, "cannot reset the high-water mark through /proc/self/clear_refs\n");
    return 1;
  }
  const long long baseline = status_bytes("VmRSS:");
  std::size_t parsed_resources = 0;
  {
    auto bundle = toln::parse_bundle(text);
    if (!bundle) {
      std::fprintf(stderr, "%s\n", toln::display_agent_error(bundle.error()).c_str());
      return 1;
    }
    parsed_resources = bundle->resources.size();
  }
  const long long peak = status_bytes("VmHWM:");
  const double mib = 1024.0 * 1024.0;
  std::printf("resources          %zu\n", parsed_resources);
  std::printf("bundle text        %.1f MiB\n", static_cast<double>(text.size()) / mib);
  std::printf("baseline resident  %.1f MiB (text included)\n", static_cast<double>(baseline) / mib);
  std::printf("peak resident      %.1f MiB\n", static_cast<double>(peak) / mib);
  std::printf("parse peak         %.1f MiB = %.2f x bundle size\n", static_cast<double>(peak - baseline) / mib,
              static_cast<double>(peak - baseline) / static_cast<double>(text.size()));
  return 0;
}
