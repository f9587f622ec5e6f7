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
constexpr std::size_t kMarkedFailures = 500;
constexpr const char* kFailureFill = "fc rgb '#d62728' fs transparent solid 0.25 noborder";

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
  // The measured readings in pieces: a failed reading, a gap or a step back
  // ends one.
  std::vector<std::vector<Reading>> pieces(1);
  std::int64_t first = INT64_MAX, last = INT64_MIN;
  std::size_t measured = 0;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const Reading& r = readings[i];
    if (i > 0 && !pieces.back().empty()) {
      const std::int64_t step = r.time_ms - readings[i - 1].time_ms;
      if (step > gap_ms || step < 0 || r.failed) pieces.emplace_back();
    }
    if (r.failed) continue;
    pieces.back().push_back(r);
    first = std::min(first, r.time_ms);
    last = std::max(last, r.time_ms);
    ++measured;
  }
  if (pieces.back().empty()) pieces.pop_back();
  std::vector<std::vector<Reading>> line;
  if (pieces.empty()) return line;  // nothing measured: no range to slice

  const std::int64_t span = last - first + 1;
  const bool thin = measured > 4 * static_cast<std::size_t>(columns);
  auto slice = [&](const Reading& r) {
    return thin ? (r.time_ms - first) * columns / span : r.time_ms - first;
  };
  auto put = [&](const Reading& r) {
    line.back().push_back({r.time_ms, log_scale && r.lux < 0.1 ? 0.1 : r.lux});
  };
  for (const std::vector<Reading>& piece : pieces) {
    line.emplace_back();
    std::size_t begin = 0;
    for (std::size_t i = 1; i <= piece.size(); ++i) {
      if (i < piece.size() && slice(piece[i]) == slice(piece[begin])) continue;
      // The slice [begin, i): its extremes in the order logged.
      std::size_t low = begin, high = begin;
      for (std::size_t j = begin; j < i; ++j) {
        if (piece[j].lux < piece[low].lux) low = j;
        if (piece[j].lux > piece[high].lux) high = j;
      }
      put(piece[std::min(low, high)]);
      if (low != high) put(piece[std::max(low, high)]);
      begin = i;
    }
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
    // Headroom, so that light as bright as the top of the axis is not drawn
    // on the border.
    script +=
        s.max > 0 ? "set yrange [0:*]\nset offsets 0, 0, graph 0.05, 0\n" : "set yrange [0:1]\n";
  }
  // One reading, or none measured, gives gnuplot no range of its own.
  if (s.measured() <= 1 && !s.readings.empty()) {
    std::snprintf(line, sizeof(line), "set xrange [%.3f:%.3f]\n",
                  s.readings.front().time_ms / 1000.0 - 60,
                  s.readings.back().time_ms / 1000.0 + 60);
    script += line;
  }
  // Failed readings: a band over each run, half a period wide on each side.
  for (std::size_t i = 0; i < s.failed_runs.size() && i < kMarkedFailures; ++i) {
    std::snprintf(line, sizeof(line),
                  "set object rect from %.3f, graph 0 to %.3f, graph 1 %s behind\n",
                  s.failed_runs[i].from_ms / 1000.0 - 0.5, s.failed_runs[i].to_ms / 1000.0 + 0.5,
                  kFailureFill);
    script += line;
  }
  for (std::size_t i = 0; i < s.restarts.size() && i < kMarkedRestarts; ++i) {
    std::snprintf(line, sizeof(line),
                  "set arrow from %.3f, graph 0 to %.3f, graph 1 nohead lc rgb '#d62728' dt 2\n",
                  s.restarts[i] / 1000.0, s.restarts[i] / 1000.0);
    script += line;
  }
  const std::string series = s.measured() > 0 ? Quoted(data_path) + " using 1:2" : "NaN";
  script += "plot " + series +
            " with lines lw 1 lc rgb '#1f77b4' title 'illuminance', "
            "NaN with lines lc rgb '#d62728' dt 2 title 'restart'";
  if (!s.failed_runs.empty()) {
    script += std::string(", NaN with boxes ") + kFailureFill + " title 'failed readings'";
  }
  script += "\n";
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
