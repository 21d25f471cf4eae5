// The benchmark driver: the library's own flags, plus the context needed to read the ratios.
#include <benchmark/benchmark.h>

#include <string>

#include "baseline.hpp"
#include "par/pool.hpp"
#include "ratio.hpp"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("tavro_workers", std::to_string(tavro::par::NUM_THREADS()));
  benchmark::AddCustomContext("tavro_min_amps", std::to_string(tavro::par::MIN_AMPS()));
  benchmark::AddCustomContext("tavro_vector_target", tavro::bench::vector_target_name());
  tavro::bench::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
