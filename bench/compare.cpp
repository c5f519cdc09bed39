#include "compare.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace jarnel::bench {
namespace {

// Collects bytes per second per benchmark while the console reporter prints as usual (to
// standard error, so that standard output carries only the comparison lines).
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int run_comparisons(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  collector.SetOutputStream(&std::cerr);
  collector.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  // Keep the registration order of operations: sort by first appearance is not available from
  // the map, so group by operation name.
  std::map<std::string, std::map<std::string, double>> ops;
  for (const auto& [name, rate] : collector.rates) {
    auto slash = name.find('/');
    if (slash == std::string::npos) continue;
    std::string impl = name.substr(slash + 1);
    auto extra = impl.find('/');
    if (extra != std::string::npos) impl = impl.substr(0, extra);
    ops[name.substr(0, slash)][impl] = rate;
  }
  for (const auto& [op, impls] : ops) {
    auto ours = impls.find("ours");
    if (ours == impls.end()) continue;
    for (const auto& [impl, rate] : impls) {
      if (impl == "ours" || rate <= 0) continue;
      std::printf("%s\t%s\t%.1f\t%.1f\t%.2f\n", op.c_str(), impl.c_str(), ours->second / 1e6,
                  rate / 1e6, ours->second / rate);
    }
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace jarnel::bench
