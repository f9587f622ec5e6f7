#include "chart/chart.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

constexpr std::size_t kMarkedRestarts = 500;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  return static_cast<bool>(out);
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

std::vector<std::vector<Reading>> ChartLine(const std::vector<Reading>& readings, bool log_scale,
                                            std::int64_t gap_ms, int columns) {
  std::vector<std::vector<Reading>> line;
  if (readings.empty()) return line;
  const auto [earliest, latest] =
      std::minmax_element(readings.begin(), readings.end(),
                          [](const Reading& a, const Reading& b) { return a.time_ms < b.time_ms; });
  const std::int64_t first = earliest->time_ms;
  const std::int64_t span = latest->time_ms - first + 1;
  const bool thin = readings.size() > 4 * static_cast<std::size_t>(columns);
  auto slice = [&](const Reading& r) {
    return thin ? (r.time_ms - first) * columns / span : r.time_ms - first;
  };
  auto put = [&](const Reading& r) {
    line.back().push_back({r.time_ms, log_scale && r.lux < 0.1 ? 0.1 : r.lux});
  };
  line.emplace_back();
  std::size_t begin = 0;
  for (std::size_t i = 1; i <= readings.size(); ++i) {
    bool breaks = false;
    if (i < readings.size()) {
      const std::int64_t step = readings[i].time_ms - readings[i - 1].time_ms;
      breaks = step > gap_ms || step < 0;
      if (!breaks && slice(readings[i]) == slice(readings[begin])) continue;
    }
    // The slice [begin, i): its extremes in the order logged.
    std::size_t low = begin, high = begin;
    for (std::size_t j = begin; j < i; ++j) {
      if (readings[j].lux < readings[low].lux) low = j;
      if (readings[j].lux > readings[high].lux) high = j;
    }
    put(readings[std::min(low, high)]);
    if (low != high) put(readings[std::max(low, high)]);
    if (breaks) line.emplace_back();
    begin = i;
  }
  return line;
}

std::string ChartData(const std::vector<std::vector<Reading>>& line) {
  std::string data;
  char text[64];
  for (std::size_t piece = 0; piece < line.size(); ++piece) {
    if (piece > 0) data += "\n";
    for (const Reading& r : line[piece]) {
      std::snprintf(text, sizeof(text), "%.3f %.2f\n", r.time_ms / 1000.0, r.lux);
      data += text;
    }
  }
  return data;
}

std::string ChartScript(const ChartOptions& o, const Summary& s, const std::string& data_path) {
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
  script += "plot " + Quoted(data_path) +
            " using 1:2 with lines lw 1 lc rgb '#1f77b4' title 'illuminance', "
            "NaN with lines lc rgb '#d62728' dt 2 title 'restart'\n";
  return script;
}

bool DrawChart(const ChartOptions& options, const Summary& summary, std::string* error) {
  char scratch[] = "/tmp/light_chart.XXXXXX";
  if (mkdtemp(scratch) == nullptr) {
    *error = std::string("temporary directory: ") + std::strerror(errno);
    return false;
  }
  const std::string data = std::string(scratch) + "/series";
  const std::string script = std::string(scratch) + "/chart.gp";
  const bool drawn = WriteText(data, ChartData(ChartLine(summary.readings, options.log_scale,
                                                         options.gap_ms, options.width))) &&
                     WriteText(script, ChartScript(options, summary, data)) && Gnuplot(script) == 0;
  std::filesystem::remove_all(scratch);
  if (!drawn) *error = "gnuplot could not draw " + options.output;
  return drawn;
}
