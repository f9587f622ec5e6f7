// Logs as boards really write them, read back by light_chart: clock steps
// ahead and back, days, lux-hours, CSV, the chart's line, and the options.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chart/chart.h"
#include "light_log/light_log.h"
#include "test_process.h"

namespace {

std::int64_t At(const std::string& time) {
  std::int64_t ms = 0;
  EXPECT_TRUE(ParseLogTime(time, &ms)) << time;
  return ms;
}

// A log as the tool writes it, line by line.
class Log {
 public:
  Log& Open(std::int64_t ms) { return Line(ms, "Open /dev/i2c-0 succeeded."); }
  // `count` readings of `lux`, one a second from `ms` on.
  Log& Readings(std::int64_t ms, int count, double lux) {
    char value[64];
    std::snprintf(value, sizeof(value), "current illuminance: %.2f", lux);
    for (int i = 0; i < count; ++i) Line(ms + 1000 * i, value);
    return *this;
  }
  // `count` failed readings, one a second from `ms` on: each an error line
  // and its 0.00, as the tool logs them.
  Log& Failures(std::int64_t ms, int count) {
    for (int i = 0; i < count; ++i) {
      Line(ms + 1000 * i, "Read /dev/i2c-0 at 0x23 failed: Remote I/O error", "error");
      Line(ms + 1000 * i, "current illuminance: 0.00");
    }
    return *this;
  }
  Log& Line(std::int64_t ms, const std::string& message, const std::string& level = "info") {
    text_ +=
        "[" + FormatLogTime(ms) + "] [log] [" + level + "] [light_test.cc:14] " + message + "\n";
    return *this;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

Summary Summarise(const std::string& text) {
  SummaryBuilder builder;
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    builder.Add(std::string_view(text).substr(at, end - at));
  }
  return builder.Finish();
}

std::vector<std::string> Times(const std::vector<Span>& spans) {
  std::vector<std::string> times;
  for (const Span& s : spans)
    times.push_back(FormatLogTime(s.from_ms) + " " + FormatLogTime(s.to_ms));
  return times;
}

// The board comes up with its clock where it stopped, the tool starts, and
// within a minute NTP sets the clock three hours ahead: the gap before the
// restart is downtime, the jump after it is not.
TEST(ClockSteps, ARestartThenAnNtpStepAheadWithinAMinute) {
  Log log;
  log.Open(At("2026-06-01 09:59:59.900")).Readings(At("2026-06-01 10:00:00.250"), 10, 360);
  log.Open(At("2026-06-01 10:05:00.000")).Readings(At("2026-06-01 10:05:00.500"), 21, 360);
  log.Readings(At("2026-06-01 13:05:21.500"), 10, 360);

  const Summary s = Summarise(log.text());

  EXPECT_EQ(s.readings.size(), 41U);
  EXPECT_EQ(Times(s.gaps),
            std::vector<std::string>{"2026-06-01 10:00:09.250 2026-06-01 10:05:00.500"});
  EXPECT_EQ(Times(s.clock_ahead),
            std::vector<std::string>{"2026-06-01 10:05:20.500 2026-06-01 13:05:21.500"});
  EXPECT_TRUE(s.clock_back.empty());
  // 41 readings each counted for one second: 360 lx over 41 s.
  const std::vector<DayRow> days = DailyTable(s.readings, SummaryBuilder::kDefaultGapMs);
  ASSERT_EQ(days.size(), 1U);
  EXPECT_EQ(days[0].readings, 41U);
  EXPECT_NEAR(days[0].lux_hours, 4.10, 1e-9);
}

// The end of daylight saving time: the wall clock goes from 02:59:59 back to
// 02:00:00 and the tool measures on.
TEST(ClockSteps, AnHourBackIsAStepNotAGapAndTheLineBreaksThere) {
  Log log;
  log.Readings(At("2026-10-25 02:59:55.000"), 5, 720)
      .Readings(At("2026-10-25 02:00:00.000"), 5, 720);

  const Summary s = Summarise(log.text());

  EXPECT_EQ(Times(s.clock_back),
            std::vector<std::string>{"2026-10-25 02:59:59.000 2026-10-25 02:00:00.000"});
  EXPECT_TRUE(s.gaps.empty());
  EXPECT_TRUE(s.clock_ahead.empty());
  EXPECT_EQ(FormatLogTime(s.readings.back().time_ms), "2026-10-25 02:00:04.000");
  // The reading before the step counts one second, not minus an hour.
  const std::vector<DayRow> days = DailyTable(s.readings, SummaryBuilder::kDefaultGapMs);
  ASSERT_EQ(days.size(), 1U);
  EXPECT_EQ(days[0].readings, 10U);
  EXPECT_NEAR(days[0].lux_hours, 2.00, 1e-9);

  const std::vector<std::vector<Reading>> line =
      ChartLine(s.readings, false, SummaryBuilder::kDefaultGapMs, 1200);
  ASSERT_EQ(line.size(), 2U);
  EXPECT_EQ(line[0].size(), 5U);
  EXPECT_EQ(line[1].size(), 5U);
  EXPECT_EQ(ChartData(line).find("\n\n"), ChartData({line[0]}).size() - 1);
}

// However long the series and however it is thinned, no piece of the line
// runs back in time, and the pieces break at every step back and gap.
TEST(ClockSteps, TheThinnedLineNeverRunsBackInTime) {
  Log log;
  log.Readings(At("2026-10-25 01:00:00.000"), 7200, 100);  // to 02:59:59
  log.Readings(At("2026-10-25 02:00:00.000"), 3600, 200);
  log.Readings(At("2026-10-25 03:30:00.000"), 600, 300);  // after a gap (no restart)

  const Summary s = Summarise(log.text());
  const std::vector<std::vector<Reading>> line =
      ChartLine(s.readings, false, SummaryBuilder::kDefaultGapMs, 300);

  ASSERT_EQ(line.size(), 3U);
  std::size_t points = 0;
  for (const std::vector<Reading>& piece : line) {
    points += piece.size();
    for (std::size_t i = 1; i < piece.size(); ++i) {
      ASSERT_GE(piece[i].time_ms, piece[i - 1].time_ms);
    }
  }
  EXPECT_LE(points, 2U * 300 + 2 * line.size()) << "thinned to about two points a column";
  EXPECT_EQ(line[1].front().lux, 200);
  EXPECT_EQ(line[2].front().lux, 300);
}

// A sensor off the bus for three readings, back, then darkness, then one
// more failure cut off by a restart: failed readings are apart from the
// light, and a 0.00 without a failure line before it is darkness.
TEST(FailedReadings, AreListedApartAndNeitherDrawnNorAveraged) {
  Log log;
  log.Open(At("2026-06-01 09:59:59.900")).Readings(At("2026-06-01 10:00:00.000"), 2, 600);
  log.Failures(At("2026-06-01 10:00:02.000"), 3);
  log.Line(At("2026-06-01 10:00:05.300"), "Sensor at 0x23 on /dev/i2c-0 is back after 3.0 s.");
  log.Readings(At("2026-06-01 10:00:05.300"), 2, 1200)
      .Readings(At("2026-06-01 10:00:07.300"), 2, 0);
  log.Failures(At("2026-06-01 10:00:09.300"), 1);
  // Killed between a failure line and its 0.00; the next start measures darkness.
  log.Line(At("2026-06-01 10:00:10.300"), "Read /dev/i2c-0 at 0x23 failed: Remote I/O error",
           "error");
  log.Open(At("2026-06-01 10:00:12.000")).Readings(At("2026-06-01 10:00:12.400"), 1, 0);

  const Summary s = Summarise(log.text());

  EXPECT_EQ(s.readings.size(), 11U);
  EXPECT_EQ(s.failed, 4U);
  EXPECT_EQ(s.measured(), 7U);
  EXPECT_EQ(s.min, 0.0);
  EXPECT_EQ(s.max, 1200.0);
  EXPECT_DOUBLE_EQ(s.mean, (2 * 600.0 + 2 * 1200.0) / 7);
  EXPECT_EQ(Times(s.failed_runs),
            (std::vector<std::string>{"2026-06-01 10:00:02.000 2026-06-01 10:00:04.000",
                                      "2026-06-01 10:00:09.300 2026-06-01 10:00:09.300"}));
  EXPECT_EQ(s.failed_runs[0].readings, 3U);
  EXPECT_EQ(Times(s.zero_runs),
            (std::vector<std::string>{"2026-06-01 10:00:07.300 2026-06-01 10:00:08.300",
                                      "2026-06-01 10:00:12.400 2026-06-01 10:00:12.400"}));
  EXPECT_EQ(s.errors, 5U);

  // The line breaks at each failure and never drops to 0 for one.
  const std::vector<std::vector<Reading>> line =
      ChartLine(s.readings, false, SummaryBuilder::kDefaultGapMs, 1200);
  ASSERT_EQ(line.size(), 3U);
  EXPECT_EQ(line[0].size(), 2U);
  EXPECT_EQ(line[1].size(), 4U);
  EXPECT_EQ(line[2].size(), 1U);
  for (const auto& piece : line) {
    for (const Reading& r : piece) EXPECT_FALSE(r.failed);
  }
  const std::string script = ChartScript(ChartOptions{}, s, "data");
  EXPECT_NE(script.find("set object rect from 1780308001.500, graph 0 to 1780308004.500"),
            std::string::npos)
      << script;
  EXPECT_NE(script.find("title 'failed readings'"), std::string::npos);

  // By day: failures counted apart, adding no lux-hours; the reading before
  // a failure counts until that failure.
  const std::vector<DayRow> days = DailyTable(s.readings, SummaryBuilder::kDefaultGapMs);
  ASSERT_EQ(days.size(), 1U);
  EXPECT_EQ(days[0].readings, 7U);
  EXPECT_EQ(days[0].failed, 4U);
  EXPECT_EQ(days[0].min, 0.0);
  EXPECT_DOUBLE_EQ(days[0].mean, s.mean);
  EXPECT_NEAR(days[0].lux_hours, (2 * 600.0 + 2 * 1200.0) / 3600, 1e-9);
}

TEST(FailedReadings, OldLogsReadAsBefore) {
  Log log;
  log.Open(At("2026-06-01 09:59:59.900")).Readings(At("2026-06-01 10:00:00.000"), 2, 600);
  log.Readings(At("2026-06-01 10:00:02.000"), 3, 0);
  // An error line that is no failed reading leaves the next 0.00 darkness.
  log.Line(At("2026-06-01 10:00:04.500"), "Open /dev/i2c-0 error!", "error");
  log.Readings(At("2026-06-01 10:00:05.000"), 1, 0);

  const Summary s = Summarise(log.text());

  EXPECT_EQ(s.failed, 0U);
  EXPECT_TRUE(s.failed_runs.empty());
  EXPECT_EQ(s.measured(), 6U);
  EXPECT_EQ(Times(s.zero_runs),
            std::vector<std::string>{"2026-06-01 10:00:02.000 2026-06-01 10:00:05.000"});
  EXPECT_EQ(ChartScript(ChartOptions{}, s, "data").find("failed"), std::string::npos);
}

// Readings across midnight, over a rotation, with a cut last line: each
// reading counts on the date it was logged, for the time until the next.
class DaysAndCsv : public testing::Test {
 protected:
  DaysAndCsv() {
    Log older, live;
    older.Line(At("2026-06-01 23:59:57.900"), "Open /dev/i2c-0 succeeded.");
    older.Readings(At("2026-06-01 23:59:58.000"), 1, 3600);  // 1.5 s to the next
    live.Readings(At("2026-06-01 23:59:59.500"), 1, 7200);   // 3 s
    live.Readings(At("2026-06-02 00:00:02.500"), 1, 0);      // 0.5 s
    live.Readings(At("2026-06-02 00:00:03.000"), 1, 1800);   // the last: 1 s
    WriteFile(logs_ + "/light_test.1.log", older.text());
    WriteFile(logs_ + "/light_test.log",
              live.text() + "[2026-06-02 00:00:04.000] [log] [info] [light_test.cc:14] curr");
  }
  TempDir dir_;
  std::string logs_ = dir_.Sub("logs");
};

TEST_F(DaysAndCsv, GivesEachDateItsReadingsAndLuxHours) {
  SummaryBuilder builder;
  std::string error;
  ASSERT_TRUE(builder.AddFiles(LogFamily(logs_ + "/light_test.log"), &error)) << error;
  const Summary s = builder.Finish();
  EXPECT_EQ(s.unparsed, 1U);

  const std::vector<DayRow> days = DailyTable(s.readings, SummaryBuilder::kDefaultGapMs);

  ASSERT_EQ(days.size(), 2U);
  EXPECT_EQ(days[0].date, "2026-06-01");
  EXPECT_EQ(days[0].readings, 2U);
  EXPECT_EQ(days[0].min, 3600);
  EXPECT_EQ(days[0].max, 7200);
  EXPECT_EQ(days[0].mean, 5400);
  EXPECT_NEAR(days[0].lux_hours, 3600 * 1.5 / 3600 + 7200 * 3.0 / 3600, 1e-9);  // 7.50
  EXPECT_EQ(days[1].date, "2026-06-02");
  EXPECT_EQ(days[1].readings, 2U);
  EXPECT_EQ(days[1].min, 0);
  EXPECT_EQ(days[1].max, 1800);
  EXPECT_NEAR(days[1].lux_hours, 1800 * 1.0 / 3600, 1e-9);  // 0.50
}

#ifdef LIGHT_CHART
TEST_F(DaysAndCsv, TheCommandPrintsTheTableWritesTheCsvAndDraws) {
  const std::string csv = dir_.path() + "/readings.csv";
  const std::string png = dir_.path() + "/light.png";
  const Outcome outcome = RunToEnd(
      Command(LIGHT_CHART, {"--daily", "--csv", csv, "-o", png, "--size", "640x360", logs_}),
      dir_.path());

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find(
                "\n2026-06-01         2       0    3600.00    7200.00    5400.00         7.50\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find(
                "\n2026-06-02         2       0       0.00    1800.00     900.00         0.50\n"),
            std::string::npos)
      << outcome.out;
  const std::vector<std::string> rows = Lines(ReadFile(csv));
  ASSERT_EQ(rows.size(), 5U);
  EXPECT_EQ(rows[0], "time,lux,status");
  EXPECT_EQ(rows[1], "2026-06-01 23:59:58.000,3600.00,ok");
  EXPECT_EQ(rows[4], "2026-06-02 00:00:03.000,1800.00,ok");
  unsigned width = 0, height = 0;
  ASSERT_TRUE(PngSize(ReadFile(png), &width, &height));
  EXPECT_EQ(width, 640U);
  EXPECT_EQ(height, 360U);
}

TEST(FailedReadingsCommand, TheTableCsvAndChartKeepThemApart) {
  TempDir dir;
  const std::string logs = dir.Sub("logs");
  Log log;
  log.Open(At("2026-06-01 23:59:57.000")).Readings(At("2026-06-01 23:59:58.000"), 1, 3600);
  log.Failures(At("2026-06-01 23:59:59.000"), 3);  // into the next day
  log.Line(At("2026-06-02 00:00:02.300"), "Sensor at 0x23 on /dev/i2c-0 is back after 3.3 s.");
  log.Readings(At("2026-06-02 00:00:02.300"), 2, 1800);
  WriteFile(logs + "/light_test.log", log.text());
  const std::string csv = dir.path() + "/readings.csv";
  const std::string png = dir.path() + "/light.png";

  const Outcome outcome = RunToEnd(
      Command(LIGHT_CHART, {"--daily", "--csv", csv, "-o", png, "--size", "640x360", logs}),
      dir.path());

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("\nReadings: 3\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("): 3, in 1 runs\n  2026-06-01 23:59:59.000 to 2026-06-02 "
                             "00:00:01.000 (3 readings)\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find("min 1800.00, max 3600.00, mean 2400.00 lux"), std::string::npos);
  // The 3600 lx reading counts 1 s, up to the failure that follows it.
  EXPECT_NE(outcome.out.find(
                "\n2026-06-01         1       1    3600.00    3600.00    3600.00         1.00\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find(
                "\n2026-06-02         2       2    1800.00    1800.00    1800.00         1.00\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_EQ(Lines(ReadFile(csv)),
            (std::vector<std::string>{
                "time,lux,status", "2026-06-01 23:59:58.000,3600.00,ok",
                "2026-06-01 23:59:59.000,,failed", "2026-06-02 00:00:00.000,,failed",
                "2026-06-02 00:00:01.000,,failed", "2026-06-02 00:00:02.300,1800.00,ok",
                "2026-06-02 00:00:03.300,1800.00,ok"}));
  unsigned width = 0, height = 0;
  EXPECT_TRUE(PngSize(ReadFile(png), &width, &height));
}

TEST(FailedReadingsCommand, OnlyFailuresStillChartAndTabulate) {
  TempDir dir;
  const std::string logs = dir.Sub("logs");
  Log log;
  log.Open(At("2026-06-01 10:00:00.000")).Failures(At("2026-06-01 10:00:00.300"), 4);
  WriteFile(logs + "/light_test.log", log.text());
  const std::string png = dir.path() + "/light.png";

  const Outcome outcome =
      RunToEnd(Command(LIGHT_CHART, {"--daily", "-o", png, "--size", "640x360", logs}), dir.path());

  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.err, "");
  EXPECT_NE(outcome.out.find("Illuminance: no reading was measured\n"), std::string::npos);
  EXPECT_NE(outcome.out.find("\n2026-06-01         0       4          -          -          -"
                             "         0.00\n"),
            std::string::npos)
      << outcome.out;
  unsigned width = 0, height = 0;
  ASSERT_TRUE(PngSize(ReadFile(png), &width, &height)) << outcome.out;
  EXPECT_EQ(width, 640U);
}

TEST_F(DaysAndCsv, ATableOrCsvAloneDrawsNoChart) {
  const Outcome outcome = RunToEnd(Command(LIGHT_CHART, {"-d", logs_}), dir_.path());
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_FALSE(Exists(dir_.path() + "/light.png"));
  EXPECT_EQ(outcome.out.find("Chart:"), std::string::npos);
}

TEST_F(DaysAndCsv, OptionErrorsAreOneLineAndHelpGoesToStandardOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: success
  };
  const std::vector<Case> cases = {
      {{"--bogus", logs_}, "light_chart: unknown option --bogus (see --help)"},
      {{"-x", logs_}, "light_chart: unknown option -x (see --help)"},
      {{logs_, "--from"}, "light_chart: --from needs a value"},
      {{"-c"}, "light_chart: --csv needs a value"},
      {{"--gap", "soon", logs_}, "light_chart: --gap takes a number of seconds"},
      {{"--size", "640x", logs_},
       "light_chart: --size takes WIDTHxHEIGHT, from 200x150 to 10000x10000"},
      {{}, "light_chart: no log directory or file given (see --help)"},
      {{"--help"}, ""},
      {{"-h", "--bogus-after-help"}, ""},
  };
  for (const Case& c : cases) {
    const Outcome outcome = RunToEnd(Command(LIGHT_CHART, c.args), dir_.path());
    if (c.error.empty()) {
      EXPECT_EQ(outcome.status, 0);
      EXPECT_EQ(outcome.out.rfind("usage: light_chart [options] LOG_DIR_OR_FILE\n", 0), 0U);
      EXPECT_NE(outcome.out.find("--daily"), std::string::npos);
      EXPECT_EQ(outcome.err, "");
    } else {
      EXPECT_EQ(outcome.status, 1) << c.error;
      EXPECT_EQ(outcome.err, c.error + "\n");
      EXPECT_EQ(outcome.out, "");
    }
  }
}
#endif

}  // namespace
