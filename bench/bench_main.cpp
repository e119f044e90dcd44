// SPDX-License-Identifier: MIT
#include <benchmark/benchmark.h>

// Each benchmark program registers its runs here, once the sizes of the
// generated bodies are known.
void register_benchmarks();

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
