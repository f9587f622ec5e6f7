#include "light_log/light_log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kReading = "current illuminance: ";

bool Digits(std::string_view text, std::size_t at, std::size_t count, int* value) {
  if (at + count > text.size()) return false;
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

// "[level] " pieces after the time: "[log] [info] [file.cc:14] " in the file,
// "[info] [file.cc:14] " on the console. Returns the message, or false.
bool SplitMessage(std::string_view rest, bool* error, std::string_view* message) {
  std::vector<std::string_view> pieces;
  while (pieces.size() < 3 && rest.size() > 2 && rest[0] == '[') {
    const std::size_t close = rest.find("] ");
    if (close == std::string_view::npos) return false;
    pieces.push_back(rest.substr(1, close - 1));
    rest.remove_prefix(close + 2);
    if (pieces.back().find(':') != std::string_view::npos) break;  // the source location
  }
  if (pieces.size() < 2 || pieces.back().find(':') == std::string_view::npos) return false;
  const std::string_view level = pieces[pieces.size() - 2];
  *error = level == "error" || level == "critical";
  *message = rest;
  return true;
}

}  // namespace

bool ParseLogTime(std::string_view text, std::int64_t* time_ms) {
  int year, month, day, hour, minute, second, millis = 0;
  if (text.size() != 19 && text.size() != 23) return false;
  if (!Digits(text, 0, 4, &year) || text[4] != '-' || !Digits(text, 5, 2, &month) ||
      text[7] != '-' || !Digits(text, 8, 2, &day) || text[10] != ' ' ||
      !Digits(text, 11, 2, &hour) || text[13] != ':' || !Digits(text, 14, 2, &minute) ||
      text[16] != ':' || !Digits(text, 17, 2, &second)) {
    return false;
  }
  if (text.size() == 23 && (text[19] != '.' || !Digits(text, 20, 3, &millis))) return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  *time_ms = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000 + second * 1000 +
             millis;
  return true;
}

std::string FormatLogTime(std::int64_t time_ms) {
  const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(time_ms % 1000));
  return text;
}

LogLine ParseLogLine(std::string_view line) {
  LogLine parsed;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() < 27 || line[0] != '[' || line[24] != ']' || line[25] != ' ' ||
      !ParseLogTime(line.substr(1, 23), &parsed.time_ms)) {
    return parsed;
  }
  std::string_view message;
  if (!SplitMessage(line.substr(26), &parsed.error, &message)) return parsed;
  if (message.substr(0, kReading.size()) == kReading) {
    const std::string_view value = message.substr(kReading.size());
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, parsed.lux);
    // A reading is whole only with its two decimals: a line cut short is not one.
    const std::size_t dot = value.find('.');
    if (error != std::errc() || stop != end || dot == std::string_view::npos ||
        value.size() - dot != 3 || parsed.lux < 0) {
      return LogLine{};
    }
    parsed.kind = LogLine::Kind::kReading;
  } else if (message.substr(0, 5) == "Open " && message.size() > 16 &&
             message.substr(message.size() - 11) == " succeeded.") {
    parsed.kind = LogLine::Kind::kOpened;
  } else if (parsed.error && message.substr(0, 5) == "Read " &&
             message.find(" failed: ") != std::string_view::npos) {
    parsed.kind = LogLine::Kind::kReadFailed;
  } else {
    parsed.kind = LogLine::Kind::kEvent;
  }
  return parsed;
}

std::vector<std::string> LogFamily(const std::string& log_file) {
  const fs::path path(log_file);
  const std::string stem = path.stem().string();
  const std::string extension = path.extension().string();
  std::vector<std::string> family;
  for (int n = 2; n >= 1; --n) {
    const fs::path rotated = path.parent_path() / (stem + "." + std::to_string(n) + extension);
    if (fs::is_regular_file(rotated)) family.push_back(rotated.string());
  }
  if (fs::is_regular_file(path)) family.push_back(path.string());
  return family;
}

std::string FindLogFile(const std::string& path, std::string* error) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) return path;
  if (!fs::is_directory(path, ec)) {
    *error = path + ": no such file or directory";
    return "";
  }
  std::vector<std::string> live;
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    const fs::path name = entry.path().filename();
    if (!entry.is_regular_file() || name.extension() != ".log") continue;
    // A rotated file ends in .N.log.
    const std::string stem_extension = name.stem().extension().string();
    const bool rotated =
        stem_extension.size() > 1 && std::all_of(stem_extension.begin() + 1, stem_extension.end(),
                                                 [](char c) { return c >= '0' && c <= '9'; });
    if (!rotated) live.push_back(entry.path().string());
  }
  if (live.size() == 1) return live[0];
  std::sort(live.begin(), live.end());
  *error = live.empty() ? path + ": no log file (*.log) here"
                        : path + ": several log files here; name one of them, e.g. " + live[0];
  return "";
}

SummaryBuilder::SummaryBuilder(std::int64_t from_ms, std::int64_t to_ms, std::int64_t gap_ms)
    : from_ms_(from_ms), to_ms_(to_ms), gap_ms_(gap_ms) {}

void SummaryBuilder::Add(std::string_view line) {
  if (line.empty()) return;
  const LogLine parsed = ParseLogLine(line);
  if (parsed.kind == LogLine::Kind::kUnparsed) {
    ++summary_.unparsed;
    return;
  }
  if (parsed.time_ms < from_ms_ || parsed.time_ms > to_ms_) return;
  summary_.errors += parsed.error;
  if (parsed.kind == LogLine::Kind::kOpened) {
    summary_.restarts.push_back(parsed.time_ms);
    restarted_ = true;
    failure_pending_ = false;
  }
  if (parsed.kind == LogLine::Kind::kReadFailed) failure_pending_ = true;
  if (parsed.kind != LogLine::Kind::kReading) return;

  const bool failed = failure_pending_ && parsed.lux == 0.0;
  failure_pending_ = false;
  std::vector<Reading>& readings = summary_.readings;
  if (!readings.empty()) {
    const Span between{readings.back().time_ms, parsed.time_ms, 0};
    if (between.to_ms < between.from_ms) {
      summary_.clock_back.push_back(between);
    } else if (between.to_ms - between.from_ms > gap_ms_) {
      (restarted_ ? summary_.gaps : summary_.clock_ahead).push_back(between);
    }
  }
  restarted_ = false;
  // Consecutive readings of one kind make a run, which a gap ends.
  const auto extend = [&](std::vector<Span>& runs, bool continues) {
    if (continues && !readings.empty() && !runs.empty() &&
        runs.back().to_ms == readings.back().time_ms &&
        parsed.time_ms - readings.back().time_ms <= gap_ms_) {
      runs.back().to_ms = parsed.time_ms;
      ++runs.back().readings;
    } else {
      runs.push_back({parsed.time_ms, parsed.time_ms, 1});
    }
  };
  if (failed) {
    ++summary_.failed;
    extend(summary_.failed_runs, !readings.empty() && readings.back().failed);
  } else {
    if (readings.size() == summary_.failed) {  // the first measured reading
      summary_.min = summary_.max = parsed.lux;
    } else {
      summary_.min = std::min(summary_.min, parsed.lux);
      summary_.max = std::max(summary_.max, parsed.lux);
    }
    if (parsed.lux == 0.0) {
      extend(summary_.zero_runs,
             !readings.empty() && !readings.back().failed && readings.back().lux == 0.0);
    }
    sum_ += parsed.lux;
  }
  readings.push_back({parsed.time_ms, parsed.lux, failed});
}

bool SummaryBuilder::AddFiles(const std::vector<std::string>& files, std::string* error) {
  std::string line;
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = file + ": " + std::strerror(errno);
      return false;
    }
    while (std::getline(in, line)) {
      // A last line without its newline was cut short (a power cut): it may
      // look whole ("250.00" of "2500.00") but cannot be trusted.
      if (in.eof()) {
        summary_.unparsed += !line.empty();
      } else {
        Add(line);
      }
    }
  }
  return true;
}

Summary SummaryBuilder::Finish() {
  if (summary_.measured() > 0) summary_.mean = sum_ / summary_.measured();
  return std::move(summary_);
}

std::vector<DayRow> DailyTable(const std::vector<Reading>& readings, std::int64_t gap_ms) {
  constexpr std::int64_t kDayMs = 86400000;
  constexpr double kMsPerHour = 3600000.0;
  std::map<std::int64_t, DayRow> days;  // by days since 1970-01-01
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const Reading& r = readings[i];
    std::int64_t counted_ms = 1000;
    if (i + 1 < readings.size()) {
      const std::int64_t to_next = readings[i + 1].time_ms - r.time_ms;
      if (to_next >= 0 && to_next <= gap_ms) counted_ms = to_next;
    }
    const std::int64_t day = r.time_ms >= 0 ? r.time_ms / kDayMs : (r.time_ms + 1) / kDayMs - 1;
    DayRow& row = days[day];
    if (row.readings == 0 && row.failed == 0) row.date = FormatLogTime(day * kDayMs).substr(0, 10);
    if (r.failed) {
      ++row.failed;
      continue;
    }
    if (row.readings == 0) row.min = row.max = r.lux;
    row.min = std::min(row.min, r.lux);
    row.max = std::max(row.max, r.lux);
    row.mean += r.lux;  // the sum until the end
    row.lux_hours += r.lux * static_cast<double>(counted_ms) / kMsPerHour;
    ++row.readings;
  }
  std::vector<DayRow> table;
  for (auto& [day, row] : days) {
    if (row.readings > 0) row.mean /= static_cast<double>(row.readings);
    table.push_back(row);
  }
  return table;
}
