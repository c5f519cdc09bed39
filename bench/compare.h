#pragma once
// Shared harness of the peer benchmarks. Register benchmarks named "<operation>/<impl>" where
// impl is "ours" or a peer's name, set bytes processed per iteration, and call run_comparisons:
// it runs them all and prints, for every peer measurement, the line
//   operation<TAB>peer<TAB>ours_MB_per_s<TAB>peer_MB_per_s<TAB>ratio
// (ratio = ours / peer; above 1.0 means faster than the peer).
namespace jarnel::bench {

int run_comparisons(int argc, char** argv);

}  // namespace jarnel::bench
