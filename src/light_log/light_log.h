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
    kReading,     // "current illuminance: ..."
    kOpened,      // "Open ... succeeded.": the tool (re)started measuring
    kReadFailed,  // "Read ... failed: ...": the next reading's 0.00 is none
    kEvent,       // any other message of the tool
    kUnparsed,    // not a line of the tool (cut short, foreign text)
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
  // The 0.00 of a reading that failed (the line before it says so): no
  // measurement, never drawn nor counted as light. Logs written before the
  // tool said so have none.
  bool failed = false;
};

// A stretch of time between two readings, or of consecutive readings.
struct Span {
  std::int64_t from_ms;
  std::int64_t to_ms;
  std::size_t readings;
};

// The log's times are the board's wall clock, which does not only move
// forward: NTP steps it (often by hours on a board without a real-time clock),
// and the end of daylight saving sets it back an hour. Readings stay in the
// order they were logged.
struct Summary {
  std::vector<Reading> readings;  // in the order logged, failed ones included
  std::vector<std::int64_t> restarts;
  // No reading for longer than the gap limit, and a restart before the next
  // one: the tool was down.
  std::vector<Span> gaps;
  // No reading for longer than the gap limit but no restart either: the
  // clock stepped ahead, or the board was suspended.
  std::vector<Span> clock_ahead;
  // A reading timed earlier than the one before: the clock stepped back
  // (from_ms is the earlier reading's time, to_ms the later one's).
  std::vector<Span> clock_back;
  std::vector<Span> zero_runs;    // consecutive measured readings of 0.00
  std::vector<Span> failed_runs;  // consecutive failed readings
  std::size_t failed = 0;         // failed readings
  std::size_t unparsed = 0;
  std::size_t errors = 0;
  // Of the measured readings only; 0 when there is none.
  double min = 0.0;
  double max = 0.0;
  double mean = 0.0;
  std::size_t measured() const { return readings.size() - failed; }
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
  bool restarted_ = false;        // a restart since the last reading
  bool failure_pending_ = false;  // a failure line since the last reading
};

// One local date of the log (the date each reading was logged on).
struct DayRow {
  std::string date;          // YYYY-MM-DD
  std::size_t readings = 0;  // measured readings: min, max, mean are theirs
  std::size_t failed = 0;    // failed readings
  double min = 0.0;
  double max = 0.0;
  double mean = 0.0;
  // Cumulative light exposure, lx·h: each measured reading's lux times the
  // time until the next reading, or one second where the next one is more
  // than `gap_ms` away, earlier (the clock stepped back) or absent. A failed
  // reading adds nothing.
  double lux_hours = 0.0;
};

// The readings, given in the order logged, by local date, oldest date first.
std::vector<DayRow> DailyTable(const std::vector<Reading>& readings, std::int64_t gap_ms);

// "YYYY-MM-DD HH:MM:SS" or with ".mmm", as in the log, to milliseconds;
// false if it is not such a time.
bool ParseLogTime(std::string_view text, std::int64_t* time_ms);
std::string FormatLogTime(std::int64_t time_ms);

#endif  // LIGHT_TEST_SRC_LIGHT_LOG_LIGHT_LOG_H_
