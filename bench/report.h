// The bench's output: a table for the terminal, JSON for machines, a plot of the distributions.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bench/results.h"

namespace skyhelm::bench {

// Every figure, each latency and loop figure beside its ratio to the floor, then the targets.
void PrintTable(std::FILE* out, const BenchResults& results,
                const std::vector<TargetVerdict>& verdicts);

// The same figures as one JSON object. False when the file cannot be written.
bool WriteJson(const std::string& path, const BenchResults& results,
               const std::vector<TargetVerdict>& verdicts);

// Draws the latency distributions (cumulative, and the tail on a log scale) with gnuplot into a
// PNG file. False when gnuplot is missing or fails.
bool WritePlot(const std::string& path, const BenchResults& results);

}  // namespace skyhelm::bench
