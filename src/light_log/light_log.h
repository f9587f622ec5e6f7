#ifndef LIGHT_TEST_SRC_LIGHT_LOG_LIGHT_LOG_H_
#define LIGHT_TEST_SRC_LIGHT_LOG_LIGHT_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Reading back what light_test logged: its lines, its rotated files, and a
// summary of the readings in them.

// One log line. Times are the line's local wall-clock time in milliseconds,
// counted as if it were UTC (the log carries no zone).
struct LogLine {
  enum class Kind {
    kReading,   // "current illuminance: ..."
    kOpened,    // "Open ... succeeded.": the tool (re)started measuring
    kEvent,     // any other message of the tool
    kUnparsed,  // not a line of the tool (cut short, foreign text)
  };
  Kind kind = Kind::kUnparsed;
  std::int64_t time_ms = 0;
  double lux = 0.0;
  bool error = false;  // logged at error level
};

LogLine ParseLogLine(std::string_view line);

// The log file and its rotated siblings that exist, oldest first
// (x.2.log, x.1.log, x.log).
std::vector<std::string> LogFamily(const std::string& log_file);

// The log file named by `path`: the file itself, or the one live log file in
// the directory `path`. Empty, with `error` set, when there is none.
std::string FindLogFile(const std::string& path, std::string* error);

struct Reading {
  std::int64_t time_ms;
  double lux;
};

// A stretch of time between two readings, or of consecutive readings.
struct Span {
  std::int64_t from_ms;
  std::int64_t to_ms;
  std::size_t readings;
};

struct Summary {
  std::vector<Reading> readings;
  std::vector<std::int64_t> restarts;
  std::vector<Span> gaps;       // no reading for longer than the gap limit
  std::vector<Span> zero_runs;  // consecutive readings of 0.00
  std::size_t unparsed = 0;
  std::size_t errors = 0;
  double min = 0.0;
  double max = 0.0;
  double mean = 0.0;
};

// Builds the series and its summary from lines given oldest first, keeping
// only what falls in [from_ms, to_ms].
class SummaryBuilder {
 public:
  // More than five periods of one second without a reading is a gap.
  static constexpr std::int64_t kDefaultGapMs = 5000;

  explicit SummaryBuilder(std::int64_t from_ms = INT64_MIN, std::int64_t to_ms = INT64_MAX,
                          std::int64_t gap_ms = kDefaultGapMs);
  void Add(std::string_view line);
  // Adds every line of the files, in order; false if one cannot be read.
  bool AddFiles(const std::vector<std::string>& files, std::string* error);
  Summary Finish();

 private:
  std::int64_t from_ms_, to_ms_, gap_ms_;
  Summary summary_;
  double sum_ = 0.0;
};

// "YYYY-MM-DD HH:MM:SS" or with ".mmm", as in the log, to milliseconds;
// false if it is not such a time.
bool ParseLogTime(std::string_view text, std::int64_t* time_ms);
std::string FormatLogTime(std::int64_t time_ms);

#endif  // LIGHT_TEST_SRC_LIGHT_LOG_LIGHT_LOG_H_
