// Reading the tool's log files back: lines, rotated files, the summary, and
// the chart command on generated logs.

#include "light_log/light_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

namespace fs = std::filesystem;

TEST(ParseLogLine, TellsReadingsRestartsEventsAndForeignLines) {
  using Kind = LogLine::Kind;
  struct Case {
    std::string line;
    Kind kind;
    double lux;
    bool error;
  };
  const std::string t = "[2026-12-08 23:06:44.123] ";
  const std::vector<Case> cases = {
      {t + "[log] [info] [light_test.cc:14] current illuminance: 250.00", Kind::kReading, 250,
       false},
      {t + "[info] [light_test.cc:14] current illuminance: 54612.50", Kind::kReading, 54612.5,
       false},
      {t + "[log] [info] [light_test.cc:14] current illuminance: 0.00", Kind::kReading, 0, false},
      {t + "[log] [info] [illuminance.cc:18] Open /dev/i2c-0 succeeded.", Kind::kOpened, 0, false},
      {t + "[log] [info] [illuminance.cc:31] Current I2C address: 0x5c", Kind::kEvent, 0, false},
      {t + "[log] [error] [illuminance.cc:15] Open /dev/i2c-0 error!", Kind::kEvent, 0, true},
      {t + "[log] [error] [illuminance.cc:93] Read /dev/i2c-0 at 0x23 failed: Remote I/O error",
       Kind::kReadFailed, 0, true},
      {t + "[error] [illuminance.cc:93] Read /dev/i2c-0 at 0x5c failed: short read: 1 of 2 bytes",
       Kind::kReadFailed, 0, true},
      {t + "[log] [info] [illuminance.cc:82] Read /dev/i2c-0 at 0x23 failed: x", Kind::kEvent, 0,
       false},
      {t + "[log] [info] [illuminance.cc:82] Sensor at 0x23 on /dev/i2c-0 is back after 3.3 s.",
       Kind::kEvent, 0, false},
      // Cut short, or not the tool's.
      {t + "[log] [info] [light_test.cc:14] current illuminance: 25", Kind::kUnparsed, 0, false},
      {t + "[log] [info] [light_test.cc:14] current illuminance: 250.0", Kind::kUnparsed, 0, false},
      {t + "[log] [info] [light_test.cc:14] current illuminance: -1.00", Kind::kUnparsed, 0, false},
      {t + "[log] [info] [light_te", Kind::kUnparsed, 0, false},
      {"[2026-12-08 23:06", Kind::kUnparsed, 0, false},
      {"[2026-13-08 23:06:44.123] [info] [a.cc:1] x", Kind::kUnparsed, 0, false},
      {"Dec  8 23:06:44 board kernel: i2c i2c-0: timeout", Kind::kUnparsed, 0, false},
      {"", Kind::kUnparsed, 0, false},
  };
  for (const Case& c : cases) {
    const LogLine parsed = ParseLogLine(c.line);
    EXPECT_EQ(parsed.kind, c.kind) << c.line;
    EXPECT_EQ(parsed.lux, c.lux) << c.line;
    EXPECT_EQ(parsed.error, c.error) << c.line;
  }
}

TEST(ParseLogTime, ReadsTheLogsWallClock) {
  std::int64_t ms = 0;
  ASSERT_TRUE(ParseLogTime("1970-01-01 00:00:01.500", &ms));
  EXPECT_EQ(ms, 1500);
  ASSERT_TRUE(ParseLogTime("2000-03-01 00:00:00", &ms));
  EXPECT_EQ(ms, 951868800000);
  for (const char* time : {"2026-12-08 23:06:44.123", "2024-02-29 12:00:00.000"}) {
    ASSERT_TRUE(ParseLogTime(time, &ms)) << time;
    EXPECT_EQ(FormatLogTime(ms), time);
  }
  for (const char* bad : {"2026-12-08", "2026-12-08 24:00:00", "2026-12-08T23:06:44", "x"}) {
    EXPECT_FALSE(ParseLogTime(bad, &ms)) << bad;
  }
}

// Writes log files the way the tool leaves them.
class LogDir : public testing::Test {
 protected:
  std::string Line(const std::string& time, const std::string& message,
                   const std::string& level = "info") {
    return "[" + time + "] [log] [" + level + "] [light_test.cc:14] " + message + "\n";
  }
  std::string Reading(int second, double lux) {
    char time[32], value[32];
    std::snprintf(time, sizeof(time), "2026-06-01 10:%02d:%02d.250", second / 60, second % 60);
    std::snprintf(value, sizeof(value), "%.2f", lux);
    return Line(time, std::string("current illuminance: ") + value);
  }

  TempDir dir_;
  std::string logs_ = dir_.Sub("logs");
};

TEST_F(LogDir, FindsTheLiveFileAndItsRotatedSiblingsOldestFirst) {
  std::string error;
  EXPECT_EQ(FindLogFile(logs_, &error), "");
  EXPECT_NE(error.find("no log file"), std::string::npos);
  EXPECT_EQ(FindLogFile(dir_.path() + "/missing", &error), "");

  for (const char* name : {"light_test.log", "light_test.1.log", "light_test.2.log"}) {
    WriteFile(logs_ + "/" + name, "");
  }
  EXPECT_EQ(FindLogFile(logs_, &error), logs_ + "/light_test.log");
  EXPECT_EQ(LogFamily(logs_ + "/light_test.log"),
            (std::vector<std::string>{logs_ + "/light_test.2.log", logs_ + "/light_test.1.log",
                                      logs_ + "/light_test.log"}));
  fs::remove(logs_ + "/light_test.2.log");
  EXPECT_EQ(LogFamily(logs_ + "/light_test.log").size(), 2U);

  WriteFile(logs_ + "/other.log", "");
  EXPECT_EQ(FindLogFile(logs_, &error), "");
  EXPECT_NE(error.find("several log files"), std::string::npos);
  EXPECT_EQ(FindLogFile(logs_ + "/other.log", &error), logs_ + "/other.log");
}

TEST_F(LogDir, SummarisesAcrossRotationRestartsGapsAndDarkness) {
  // Older file: readings 0..9; the live file goes on at 10 (no gap across
  // the rotation), then darkness, the tool down from 15 to 75, a restart, and
  // a last line cut short by a power cut.
  std::string older = Line("2026-06-01 09:59:59.900", "Open /dev/i2c-0 succeeded.");
  for (int s = 0; s < 10; ++s) older += Reading(s, 100 + s);
  std::string live;
  for (int s = 10; s < 13; ++s) live += Reading(s, 200);
  for (int s = 13; s < 16; ++s) live += Reading(s, 0);
  live += "garbage from elsewhere\n";
  live += Line("2026-06-01 10:01:15.000", "Open /dev/i2c-0 succeeded.");
  live += Line("2026-06-01 10:01:15.300", "Current I2C address: 0x23");
  for (int s = 76; s < 78; ++s) live += Reading(s, 0);
  live += Reading(78, 50);
  live += Reading(79, 5000).substr(0, 70);  // no newline
  WriteFile(logs_ + "/light_test.1.log", older);
  WriteFile(logs_ + "/light_test.log", live);

  SummaryBuilder builder;
  std::string error;
  ASSERT_TRUE(builder.AddFiles(LogFamily(logs_ + "/light_test.log"), &error)) << error;
  const Summary s = builder.Finish();

  ASSERT_EQ(s.readings.size(), 19U);
  EXPECT_EQ(FormatLogTime(s.readings.front().time_ms), "2026-06-01 10:00:00.250");
  EXPECT_EQ(FormatLogTime(s.readings.back().time_ms), "2026-06-01 10:01:18.250");
  EXPECT_EQ(s.min, 0.0);
  EXPECT_EQ(s.max, 200.0);
  EXPECT_DOUBLE_EQ(s.mean, (1045.0 + 600 + 50) / 19);
  ASSERT_EQ(s.gaps.size(), 1U);
  EXPECT_EQ(FormatLogTime(s.gaps[0].from_ms), "2026-06-01 10:00:15.250");
  EXPECT_EQ(FormatLogTime(s.gaps[0].to_ms), "2026-06-01 10:01:16.250");
  EXPECT_EQ(s.restarts.size(), 2U);
  // The darkness before the gap and after it are two runs: the tool was down
  // in between.
  ASSERT_EQ(s.zero_runs.size(), 2U);
  EXPECT_EQ(s.zero_runs[0].readings, 3U);
  EXPECT_EQ(s.zero_runs[1].readings, 2U);
  EXPECT_EQ(s.unparsed, 2U);  // the foreign line and the cut one
}

TEST_F(LogDir, KeepsOnlyTheRequestedWindow) {
  std::string live;
  for (int s = 0; s < 30; ++s) live += Reading(s, s);
  WriteFile(logs_ + "/light_test.log", live);
  std::int64_t from, to;
  ASSERT_TRUE(ParseLogTime("2026-06-01 10:00:10", &from));
  ASSERT_TRUE(ParseLogTime("2026-06-01 10:00:20", &to));

  SummaryBuilder builder(from, to);
  std::string error;
  ASSERT_TRUE(builder.AddFiles({logs_ + "/light_test.log"}, &error));
  const Summary s = builder.Finish();

  ASSERT_EQ(s.readings.size(), 10U);  // 10.250 to 19.250
  EXPECT_EQ(s.min, 10.0);
  EXPECT_EQ(s.max, 19.0);
}

#ifdef LIGHT_CHART
TEST_F(LogDir, ChartsAPngOfTheRequestedSizeAndPrintsTheSummary) {
  std::string live = Line("2026-06-01 09:59:59.900", "Open /dev/i2c-0 succeeded.");
  for (int s = 0; s < 120; ++s) live += Reading(s, s % 40 < 10 ? 0 : 10 * s);
  WriteFile(logs_ + "/light_test.log", live);

  for (const bool log_scale : {false, true}) {
    const std::string png = dir_.path() + (log_scale ? "/log.png" : "/linear.png");
    std::vector<std::string> args = {"-o", png, "--size", "640x360", logs_};
    if (log_scale) args.insert(args.begin(), "--log-scale");
    const Outcome outcome = RunToEnd(Command(LIGHT_CHART, args), dir_.path());

    ASSERT_EQ(outcome.status, 0) << outcome.err;
    unsigned width = 0, height = 0;
    ASSERT_TRUE(PngSize(ReadFile(png), &width, &height)) << png;
    EXPECT_EQ(width, 640U);
    EXPECT_EQ(height, 360U);
    EXPECT_NE(outcome.out.find("Readings: 120\n"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("Runs of 0.00 (darkness"), std::string::npos);
  }
}

TEST_F(LogDir, SaysInOneLineWhenThereIsNothingToChart) {
  for (const std::string& input : {dir_.path() + "/missing", logs_}) {
    const Outcome outcome = RunToEnd(Command(LIGHT_CHART, {input}), dir_.path());
    EXPECT_NE(outcome.status, 0);
    EXPECT_EQ(Lines(outcome.err).size(), 1U) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("light_chart: ", 0), 0U) << outcome.err;
  }
}
#endif

}  // namespace
