#include "report.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kListed = 20;  // entries listed per kind in the summary

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
void List(std::FILE* out, const std::vector<T>& items, Print print) {
  for (std::size_t i = 0; i < items.size() && i < kListed; ++i) print(items[i]);
  if (items.size() > kListed) std::fprintf(out, "  ... and %zu more\n", items.size() - kListed);
}

}  // namespace

void PrintSummary(std::FILE* out, const std::vector<std::string>& files, const Summary& s,
                  std::int64_t gap_ms) {
  std::fprintf(out, "Files (oldest first):");
  for (const std::string& file : files) std::fprintf(out, " %s", file.c_str());
  std::fprintf(out, "\n");
  if (s.readings.empty()) {
    std::fprintf(out, "Readings: 0\n");
  } else {
    std::fprintf(out, "First reading: %s\n", FormatLogTime(s.readings.front().time_ms).c_str());
    std::fprintf(out, "Last reading:  %s%s\n", FormatLogTime(s.readings.back().time_ms).c_str(),
                 s.clock_back.empty() ? "" : " (the last one logged)");
    std::fprintf(out, "Readings: %zu\n", s.measured());
    if (s.measured() > 0) {
      std::fprintf(out, "Illuminance: min %.2f, max %.2f, mean %.2f lux\n", s.min, s.max, s.mean);
    } else {
      std::fprintf(out, "Illuminance: no reading was measured\n");
    }
  }
  const auto span = [out](const Span& g) {
    std::fprintf(out, "  %s to %s (%s)\n", FormatLogTime(g.from_ms).c_str(),
                 FormatLogTime(g.to_ms).c_str(), Duration(g.to_ms - g.from_ms).c_str());
  };
  std::fprintf(out, "Gaps (no reading for more than %s, the tool was down): %zu\n",
               Duration(gap_ms).c_str(), s.gaps.size());
  List(out, s.gaps, span);
  std::fprintf(out,
               "Clock steps ahead (no reading for more than %s but no restart: the clock was "
               "set ahead, or the board was suspended): %zu\n",
               Duration(gap_ms).c_str(), s.clock_ahead.size());
  List(out, s.clock_ahead, span);
  std::fprintf(out,
               "Clock steps back (a reading timed earlier than the one before: NTP, or the end "
               "of daylight saving time): %zu\n",
               s.clock_back.size());
  List(out, s.clock_back, [out](const Span& b) {
    std::fprintf(out, "  at %s, back by %s to %s\n", FormatLogTime(b.from_ms).c_str(),
                 Duration(b.from_ms - b.to_ms).c_str(), FormatLogTime(b.to_ms).c_str());
  });
  std::fprintf(out, "Restarts (\"Open ... succeeded.\"): %zu\n", s.restarts.size());
  List(out, s.restarts,
       [out](std::int64_t t) { std::fprintf(out, "  %s\n", FormatLogTime(t).c_str()); });
  const auto run = [out](const Span& r) {
    std::fprintf(out, "  %s to %s (%zu readings)\n", FormatLogTime(r.from_ms).c_str(),
                 FormatLogTime(r.to_ms).c_str(), r.readings);
  };
  std::fprintf(out,
               "Failed readings (the sensor did not answer; logged as 0.00, but neither drawn "
               "nor counted as light): %zu, in %zu runs\n",
               s.failed, s.failed_runs.size());
  List(out, s.failed_runs, run);
  std::fprintf(out,
               "Runs of 0.00 (darkness; in logs from before the tool reported failed readings, "
               "also failures): %zu\n",
               s.zero_runs.size());
  List(out, s.zero_runs, run);
  std::fprintf(out, "Error lines: %zu\n", s.errors);
  std::fprintf(out, "Lines skipped (not the tool's, or cut short): %zu\n", s.unparsed);
}

void PrintDaily(std::FILE* out, const std::vector<DayRow>& days) {
  std::fprintf(out, "%-10s %9s %7s %10s %10s %10s %12s\n", "date", "readings", "failed", "min",
               "max", "mean", "lux-hours");
  for (const DayRow& d : days) {
    if (d.readings == 0) {
      std::fprintf(out, "%-10s %9zu %7zu %10s %10s %10s %12.2f\n", d.date.c_str(), d.readings,
                   d.failed, "-", "-", "-", d.lux_hours);
    } else {
      std::fprintf(out, "%-10s %9zu %7zu %10.2f %10.2f %10.2f %12.2f\n", d.date.c_str(), d.readings,
                   d.failed, d.min, d.max, d.mean, d.lux_hours);
    }
  }
}

bool WriteCsv(const std::string& path, const std::vector<Reading>& readings, std::string* error) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::fputs("time,lux,status\n", out);
  for (const Reading& r : readings) {
    if (r.failed) {
      std::fprintf(out, "%s,,failed\n", FormatLogTime(r.time_ms).c_str());
    } else {
      std::fprintf(out, "%s,%.2f,ok\n", FormatLogTime(r.time_ms).c_str(), r.lux);
    }
  }
  const bool written = std::ferror(out) == 0;
  if (std::fclose(out) != 0 || !written) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
