// Turns light_test's log files into a PNG chart of illuminance over time and
// a summary on standard output:
//
//   light_chart [options] LOG_DIR_OR_FILE
//     -o, --output FILE   the chart (default light.png)
//     --log-scale         logarithmic illuminance axis
//     --from TIME, --to TIME
//                         only this window ("YYYY-MM-DD HH:MM:SS")
//     --size WxH          the chart's size in pixels (default 1200x600)
//     --gap SECONDS       no reading for longer is a gap (default 5)
//
// The rotated files are read with the live one, oldest first. gnuplot draws.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "light_log/light_log.h"

extern char** environ;

namespace {

constexpr std::size_t kListed = 20;  // entries listed per kind in the summary
constexpr std::size_t kMarkedRestarts = 500;

struct Options {
  std::string input;
  std::string output = "light.png";
  bool log_scale = false;
  std::int64_t from_ms = INT64_MIN;
  std::int64_t to_ms = INT64_MAX;
  int width = 1200;
  int height = 600;
  std::int64_t gap_ms = SummaryBuilder::kDefaultGapMs;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "light_chart: %s\n", message.c_str());
  return 1;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--log-scale") {
      options->log_scale = true;
    } else if ((arg == "-o" || arg == "--output") && has_value) {
      options->output = argv[++i];
    } else if ((arg == "--from" || arg == "--to") && has_value) {
      if (!ParseLogTime(argv[++i], arg == "--from" ? &options->from_ms : &options->to_ms)) {
        *error = arg + " takes a time as YYYY-MM-DD HH:MM:SS";
        return false;
      }
    } else if (arg == "--size" && has_value) {
      if (std::sscanf(argv[++i], "%dx%d", &options->width, &options->height) != 2 ||
          options->width < 200 || options->height < 150 || options->width > 10000 ||
          options->height > 10000) {
        *error = "--size takes WIDTHxHEIGHT, from 200x150 to 10000x10000";
        return false;
      }
    } else if (arg == "--gap" && has_value) {
      const double seconds = std::atof(argv[++i]);
      if (seconds <= 0) {
        *error = "--gap takes a number of seconds";
        return false;
      }
      options->gap_ms = static_cast<std::int64_t>(seconds * 1000);
    } else if (arg.rfind("-", 0) == 0 || !options->input.empty()) {
      *error =
          "usage: light_chart [-o FILE] [--log-scale] [--from TIME] [--to TIME] "
          "[--size WxH] [--gap SECONDS] LOG_DIR_OR_FILE";
      return false;
    } else {
      options->input = arg;
    }
  }
  if (options->input.empty()) {
    *error = "no log directory or file given";
    return false;
  }
  return true;
}

std::string Duration(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  char text[64];
  if (s >= 86400) {
    std::snprintf(text, sizeof(text), "%lld d %lld h", static_cast<long long>(s / 86400),
                  static_cast<long long>(s % 86400 / 3600));
  } else if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%lld h %lld min", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60));
  } else if (s >= 60) {
    std::snprintf(text, sizeof(text), "%lld min %lld s", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
  } else {
    std::snprintf(text, sizeof(text), "%.1f s", ms / 1000.0);
  }
  return text;
}

template <typename T, typename Print>
void List(const std::vector<T>& items, Print print) {
  for (std::size_t i = 0; i < items.size() && i < kListed; ++i) print(items[i]);
  if (items.size() > kListed) std::printf("  ... and %zu more\n", items.size() - kListed);
}

void PrintSummary(const std::vector<std::string>& files, const Summary& s, std::int64_t gap_ms) {
  std::printf("Files (oldest first):");
  for (const std::string& file : files) std::printf(" %s", file.c_str());
  std::printf("\n");
  if (s.readings.empty()) {
    std::printf("Readings: 0\n");
  } else {
    std::printf("First reading: %s\n", FormatLogTime(s.readings.front().time_ms).c_str());
    std::printf("Last reading:  %s\n", FormatLogTime(s.readings.back().time_ms).c_str());
    std::printf("Readings: %zu\n", s.readings.size());
    std::printf("Illuminance: min %.2f, max %.2f, mean %.2f lux\n", s.min, s.max, s.mean);
  }
  std::printf("Gaps (no reading for more than %s, the tool was down): %zu\n",
              Duration(gap_ms).c_str(), s.gaps.size());
  List(s.gaps, [](const Span& g) {
    std::printf("  %s to %s (%s)\n", FormatLogTime(g.from_ms).c_str(),
                FormatLogTime(g.to_ms).c_str(), Duration(g.to_ms - g.from_ms).c_str());
  });
  std::printf("Restarts (\"Open ... succeeded.\"): %zu\n", s.restarts.size());
  List(s.restarts, [](std::int64_t t) { std::printf("  %s\n", FormatLogTime(t).c_str()); });
  std::printf("Runs of 0.00 (darkness or a failed reading: the log cannot tell them apart): %zu\n",
              s.zero_runs.size());
  List(s.zero_runs, [](const Span& r) {
    std::printf("  %s to %s (%zu readings)\n", FormatLogTime(r.from_ms).c_str(),
                FormatLogTime(r.to_ms).c_str(), r.readings);
  });
  std::printf("Error lines: %zu\n", s.errors);
  std::printf("Lines skipped (not the tool's, or cut short): %zu\n", s.unparsed);
}

// Writes the series for gnuplot: seconds, lux; a blank line breaks the line
// at each gap. On a log axis 0.00 cannot be drawn and stands at 0.1. A long
// series is cut to the lowest and highest reading of each of `columns` time
// slices, in their order: the drawn line looks the same, and gnuplot's time
// and memory stay bounded whatever the length of the logs.
bool WriteData(const std::string& path, const Summary& s, bool log_scale, std::int64_t gap_ms,
               int columns) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  const std::vector<Reading>& readings = s.readings;
  const std::int64_t first = readings.front().time_ms;
  const std::int64_t span = readings.back().time_ms - first + 1;
  const bool thin = readings.size() > 4 * static_cast<std::size_t>(columns);
  auto slice = [&](const Reading& r) {
    return thin ? (r.time_ms - first) * columns / span : r.time_ms - first;
  };
  auto put = [&](const Reading& r) {
    std::fprintf(out, "%.3f %.2f\n", r.time_ms / 1000.0, log_scale && r.lux < 0.1 ? 0.1 : r.lux);
  };
  std::size_t begin = 0;
  for (std::size_t i = 1; i <= readings.size(); ++i) {
    const bool gap = i < readings.size() && readings[i].time_ms - readings[i - 1].time_ms > gap_ms;
    if (i < readings.size() && !gap && slice(readings[i]) == slice(readings[begin])) continue;
    // Emit the slice [begin, i): its extremes in time order.
    std::size_t low = begin, high = begin;
    for (std::size_t j = begin; j < i; ++j) {
      if (readings[j].lux < readings[low].lux) low = j;
      if (readings[j].lux > readings[high].lux) high = j;
    }
    put(readings[std::min(low, high)]);
    if (low != high) put(readings[std::max(low, high)]);
    if (gap) std::fputs("\n", out);
    begin = i;
  }
  return std::fclose(out) == 0;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

std::string Script(const Options& o, const Summary& s, const std::string& data) {
  std::string script;
  char line[512];
  std::snprintf(line, sizeof(line), "set terminal pngcairo size %d,%d font ',10'\n", o.width,
                o.height);
  script += line;
  script += "set output " + Quoted(o.output) + "\n";
  script += "set xdata time\nset timefmt '%s'\nset format x \"%m-%d\\n%H:%M\"\n";
  script += "set ylabel 'illuminance (lux)'\nset grid\nset key top right opaque box\n";
  script += "set title 'Illuminance'\n";
  if (o.log_scale) {
    script += "set logscale y\nset ylabel 'illuminance (lux, log; 0.00 at 0.1)'\n";
  } else {
    script += s.max > 0 ? "set yrange [0:*]\n" : "set yrange [0:1]\n";
  }
  if (s.readings.size() == 1) {
    std::snprintf(line, sizeof(line), "set xrange [%.3f:%.3f]\n",
                  s.readings[0].time_ms / 1000.0 - 60, s.readings[0].time_ms / 1000.0 + 60);
    script += line;
  }
  for (std::size_t i = 0; i < s.restarts.size() && i < kMarkedRestarts; ++i) {
    std::snprintf(line, sizeof(line),
                  "set arrow from %.3f, graph 0 to %.3f, graph 1 nohead lc rgb '#d62728' dt 2\n",
                  s.restarts[i] / 1000.0, s.restarts[i] / 1000.0);
    script += line;
  }
  script += "plot " + Quoted(data) +
            " using 1:2 with lines lw 1 lc rgb '#1f77b4' title 'illuminance', "
            "NaN with lines lc rgb '#d62728' dt 2 title 'restart'\n";
  return script;
}

int Gnuplot(const std::string& script_path) {
  const char* argv[] = {"gnuplot", script_path.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "gnuplot", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) return Fail(error);
  const std::string log_file = FindLogFile(options.input, &error);
  if (log_file.empty()) return Fail(error);
  const std::vector<std::string> files = LogFamily(log_file);

  SummaryBuilder builder(options.from_ms, options.to_ms, options.gap_ms);
  if (!builder.AddFiles(files, &error)) return Fail(error);
  const Summary summary = builder.Finish();
  PrintSummary(files, summary, options.gap_ms);
  if (summary.readings.empty()) return Fail("no readings to chart");

  char scratch[] = "/tmp/light_chart.XXXXXX";
  if (mkdtemp(scratch) == nullptr)
    return Fail(std::string("temporary directory: ") + std::strerror(errno));
  const std::string data = std::string(scratch) + "/series";
  const std::string script = std::string(scratch) + "/chart.gp";
  int status = -1;
  if (WriteData(data, summary, options.log_scale, options.gap_ms, options.width)) {
    if (FILE* out = std::fopen(script.c_str(), "w")) {
      std::fputs(Script(options, summary, data).c_str(), out);
      if (std::fclose(out) == 0) status = Gnuplot(script);
    }
  }
  std::filesystem::remove_all(scratch);
  if (status != 0) return Fail("gnuplot could not draw " + options.output);
  std::printf("Chart: %s\n", options.output.c_str());
  return 0;
}
