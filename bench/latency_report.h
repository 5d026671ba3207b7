// The benchmark's output: the report on the terminal, one table row per switch
// and the figures of each case, and on request a CSV of the switches and the
// whole timeline as text.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "latency_types.h"

namespace latency {

void print_report(FILE* out, const Options& o, const std::vector<SwitchRecord>& records);
void write_csv(const std::string& path, const std::vector<SwitchRecord>& records);
void write_trace(const std::string& path);

}  // namespace latency
