#ifndef LIGHT_TEST_SRC_CHART_CHART_H_
#define LIGHT_TEST_SRC_CHART_CHART_H_

#include <cstdint>
#include <string>
#include <vector>

#include "light_log/light_log.h"

// The chart of a summary's readings, drawn by gnuplot (pngcairo).

struct ChartOptions {
  std::string output = "light.png";
  bool log_scale = false;
  int width = 1200;
  int height = 600;
  std::int64_t gap_ms = SummaryBuilder::kDefaultGapMs;
};

// Where the line is drawn: pieces of consecutive measured readings, each
// drawn as one line. A piece ends at a failed reading, where no reading came
// for longer than `gap_ms` and where the clock stepped back, so the line
// never bridges a gap, shows a failure as darkness, nor runs back in time.
// A long series is cut to the lowest and highest reading of each of
// `columns` time slices, in their order: the line looks the same, and
// gnuplot's time and memory stay bounded whatever the length of the logs.
// On a log axis 0.00 cannot be drawn and stands at 0.1.
std::vector<std::vector<Reading>> ChartLine(const std::vector<Reading>& readings, bool log_scale,
                                            std::int64_t gap_ms, int columns);

// The line as gnuplot's data: "seconds lux" lines, a blank line between
// pieces.
std::string ChartData(const std::vector<std::vector<Reading>>& line);

// The gnuplot script that draws `data_path` into options.output, with a
// dashed mark at each restart and a band over each run of failed readings.
std::string ChartScript(const ChartOptions& options, const Summary& summary,
                        const std::string& data_path);

// Draws the chart of `summary`'s readings; false, with `error` set, when it
// could not.
bool DrawChart(const ChartOptions& options, const Summary& summary, std::string* error);

#endif  // LIGHT_TEST_SRC_CHART_CHART_H_
