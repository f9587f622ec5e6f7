// Turns light_test's log files into a PNG chart of illuminance over time, a
// summary on standard output and, if asked, a table by day and a CSV file.
// The rotated files are read with the live one, oldest first.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "chart/chart.h"
#include "light_log/light_log.h"
#include "report.h"

namespace {

constexpr const char* kUsage =
    "usage: light_chart [options] LOG_DIR_OR_FILE\n"
    "  -o, --output FILE   draw the chart into FILE (default light.png; the chart is\n"
    "                      drawn unless only --daily or --csv is asked for)\n"
    "  -l, --log-scale     logarithmic illuminance axis\n"
    "  -f, --from TIME     only readings from TIME (\"YYYY-MM-DD HH:MM:SS\")\n"
    "  -t, --to TIME       only readings up to TIME\n"
    "  -s, --size WxH      the chart's size in pixels (default 1200x600)\n"
    "  -g, --gap SECONDS   no reading for longer is a gap (default 5)\n"
    "  -d, --daily         a table by local date: readings, failed readings, min, max,\n"
    "                      mean, lux-hours\n"
    "  -c, --csv FILE      write the readings to FILE as CSV (time,lux,status)\n"
    "  -h, --help          this help\n";

struct Options {
  std::string input;
  ChartOptions chart;
  bool chart_asked = false;
  std::int64_t from_ms = INT64_MIN;
  std::int64_t to_ms = INT64_MAX;
  bool daily = false;
  std::string csv;
  bool help = false;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "light_chart: %s\n", message.c_str());
  return 1;
}

// The option as the user wrote it, for messages.
std::string Named(const option* options, int short_name) {
  for (const option* o = options; o->name != nullptr; ++o) {
    if (o->val == short_name) return std::string("--") + o->name;
  }
  return std::string("-") + static_cast<char>(short_name);
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  static const option kOptions[] = {
      {"output", required_argument, nullptr, 'o'}, {"log-scale", no_argument, nullptr, 'l'},
      {"from", required_argument, nullptr, 'f'},   {"to", required_argument, nullptr, 't'},
      {"size", required_argument, nullptr, 's'},   {"gap", required_argument, nullptr, 'g'},
      {"daily", no_argument, nullptr, 'd'},        {"csv", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
  };
  opterr = 0;  // errors are said in one line of our own
  for (int c; (c = getopt_long(argc, argv, ":o:lf:t:s:g:dc:h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o':
        o->chart.output = optarg;
        o->chart_asked = true;
        break;
      case 'l':
        o->chart.log_scale = true;
        break;
      case 'f':
      case 't':
        if (!ParseLogTime(optarg, c == 'f' ? &o->from_ms : &o->to_ms)) {
          *error = Named(kOptions, c) + " takes a time as YYYY-MM-DD HH:MM:SS";
          return false;
        }
        break;
      case 's': {
        char rest = 0;
        if (std::sscanf(optarg, "%dx%d%c", &o->chart.width, &o->chart.height, &rest) != 2 ||
            o->chart.width < 200 || o->chart.height < 150 || o->chart.width > 10000 ||
            o->chart.height > 10000) {
          *error = "--size takes WIDTHxHEIGHT, from 200x150 to 10000x10000";
          return false;
        }
        break;
      }
      case 'g': {
        char* end = nullptr;
        const double seconds = std::strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(seconds > 0) || seconds > 1e9) {
          *error = "--gap takes a number of seconds";
          return false;
        }
        o->chart.gap_ms = static_cast<std::int64_t>(seconds * 1000);
        break;
      }
      case 'd':
        o->daily = true;
        break;
      case 'c':
        o->csv = optarg;
        break;
      case 'h':
        o->help = true;
        return true;
      case ':':
        *error = Named(kOptions, optopt) + " needs a value";
        return false;
      default:
        *error = std::string("unknown option ") + argv[optind - 1] + " (see --help)";
        return false;
    }
  }
  if (optind == argc) {
    *error = "no log directory or file given (see --help)";
    return false;
  }
  if (optind + 1 < argc) {
    *error = "one log directory or file only, not also " + std::string(argv[optind + 1]);
    return false;
  }
  o->input = argv[optind];
  // Without -o, a table or CSV alone does not also draw light.png.
  o->chart_asked = o->chart_asked || (!o->daily && o->csv.empty());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) return Fail(error);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string log_file = FindLogFile(options.input, &error);
  if (log_file.empty()) return Fail(error);
  const std::vector<std::string> files = LogFamily(log_file);

  SummaryBuilder builder(options.from_ms, options.to_ms, options.chart.gap_ms);
  if (!builder.AddFiles(files, &error)) return Fail(error);
  const Summary summary = builder.Finish();
  PrintSummary(stdout, files, summary, options.chart.gap_ms);
  if (summary.readings.empty()) return Fail("no readings in the logs or the window");

  if (options.daily) {
    std::printf(
        "\nBy day (failed readings are apart and left out of min, mean and lux-hours; "
        "lux-hours: each measured reading's lux times the time to the next one, or 1 s "
        "where that is a gap, a step back or the end):\n");
    PrintDaily(stdout, DailyTable(summary.readings, options.chart.gap_ms));
  }
  if (!options.csv.empty()) {
    if (!WriteCsv(options.csv, summary.readings, &error)) return Fail(error);
    std::printf("CSV: %s\n", options.csv.c_str());
  }
  if (options.chart_asked) {
    if (!DrawChart(options.chart, summary, &error)) return Fail(error);
    std::printf("Chart: %s\n", options.chart.output.c_str());
  }
  return 0;
}
