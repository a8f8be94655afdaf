#pragma once

// Figures the benchmark runs print: medians and ranges over rounds, and the numbers they read
// from iperf3's JSON report.

#include <string>
#include <vector>

namespace sorvanta::testing {

// The middle value, or the mean of the two middle values of an even count; 0 when empty.
double median(std::vector<double> values);

// The value at quantile `q` (0 … 1) by the nearest rank, e.g. 0.99 for the p99; 0 when empty.
double quantile(std::vector<double> values, double q);

// The median and the range, "m [low – high]", each divided by `scale` and printed with the
// printf `format` (e.g. "%.1f"); only the range when `withMedian` is false; "-" when empty.
std::string spread(const std::vector<double>& values, double scale, const char* format,
                   bool withMedian = true);

// The number after `"field":` following `"key"` in iperf3's JSON report; 0 if either is absent.
double jsonNumber(const std::string& json, const std::string& key, const std::string& field);

}  // namespace sorvanta::testing
