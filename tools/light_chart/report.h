#ifndef LIGHT_TEST_TOOLS_LIGHT_CHART_REPORT_H_
#define LIGHT_TEST_TOOLS_LIGHT_CHART_REPORT_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "light_log/light_log.h"

// What light_chart prints and writes besides the chart.

// The summary: files, first and last reading, figures, gaps, clock steps,
// restarts, failed readings, runs of 0.00, error and skipped lines.
void PrintSummary(std::FILE* out, const std::vector<std::string>& files, const Summary& summary,
                  std::int64_t gap_ms);

// One row per local date: date, measured and failed readings, min, max,
// mean, lux-hours; a day without a measured reading has "-" for min, max
// and mean.
void PrintDaily(std::FILE* out, const std::vector<DayRow>& days);

// The readings as CSV: a header, then "time as logged,lux,status" in the
// order logged; a failed reading has an empty lux and the status "failed",
// a measured one "ok". False, with `error` set, when the file cannot be written.
bool WriteCsv(const std::string& path, const std::vector<Reading>& readings, std::string* error);

#endif  // LIGHT_TEST_TOOLS_LIGHT_CHART_REPORT_H_
