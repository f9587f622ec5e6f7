// The built tool as a process: copied into a scratch directory, run from
// another working directory, against the simulated sensor.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "simulated_sensor.h"
#include "test_process.h"
#include "tool_fixture.h"

namespace {

using std::chrono::milliseconds;

const std::string kOpened = "Open /dev/i2c-0 succeeded.";

TEST_F(LightTest, WithoutASensorEndsNamingTheSecondaryAddress) {
  SimulatedSensor sensor;
  sensor.SetAddresses({});

  const Outcome outcome = RunToEnd(Command(tool_), work_, std::chrono::seconds(5));

  EXPECT_EQ(outcome.status, 255);
  const std::vector<std::string> expected = {kOpened, "Current I2C address: 0x5c"};
  EXPECT_EQ(Texts(Messages(outcome.out, "")), expected);
  EXPECT_EQ(Texts(Messages(ReadFile(log_), "log")), expected);
}

TEST_F(LightTest, LogsOneReadingASecondInBothOutputs) {
  SimulatedSensor sensor;
  sensor.SetCounts({300, 0xFFFF, 0});

  const Measured run = MeasureFor(milliseconds(3600));

  EXPECT_EQ(run.status, 128 + 9) << "the tool must run until killed";
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> expected = {
      kOpened, "Current I2C address: 0x23", "current illuminance: 250.00",
      "current illuminance: 54612.50", "current illuminance: 0.00"};
  const std::vector<std::string> in_file = Texts(Messages(run.file, "log"));
  ASSERT_GE(in_file.size(), 5U) << run.file;
  ASSERT_LE(in_file.size(), 6U) << run.file;
  EXPECT_EQ(std::vector<std::string>(in_file.begin(), in_file.begin() + 5), expected);
  if (in_file.size() == 6) {
    EXPECT_EQ(in_file.back(), "current illuminance: 0.00");
  }
  EXPECT_EQ(Texts(Messages(run.out, "")), in_file);
  // Read, log, then a whole second's sleep: readings are at least a second apart.
  const std::vector<Parsed> readings = Messages(run.file, "log", "info");
  for (std::size_t i = 3; i < readings.size(); ++i) {
    EXPECT_GE((readings[i].time - readings[i - 1].time).count(), 1000);
  }
  // One read per reading, nothing else after the wake sequence.
  int reads = 0;
  for (const Transaction& t : sensor.Transactions()) reads += t.kind == Transaction::Kind::kRead;
  EXPECT_EQ(reads, static_cast<int>(readings.size()) - 2);
}

const std::string kFailure = "Read /dev/i2c-0 at 0x23 failed: ";

// Milliseconds between the reading lines at `at` and the one before it.
long long Period(const std::vector<Parsed>& lines, std::size_t at) {
  for (std::size_t before = at; before-- > 0;) {
    if (lines[before].message.rfind("current illuminance: ", 0) == 0) {
      return (lines[at].time - lines[before].time).count();
    }
  }
  return -1;
}

// A sensor that stays gone: each cycle an error line saying why, then its
// 0.00, once a second; the sensor is woken again before every try.
TEST_F(LightTest, ASensorThatStopsAnsweringIsReportedEverySecond) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  sensor.FailReadsFrom(2);

  const Measured run = MeasureFor(milliseconds(5000));

  const std::vector<std::string> texts = Texts(Messages(run.file, "log"));
  ASSERT_GE(texts.size(), 9U) << run.file;
  EXPECT_EQ(texts[2], "current illuminance: 250.00");
  std::size_t i = 3;
  for (; i + 1 < texts.size(); i += 2) {
    EXPECT_EQ(texts[i], kFailure + "Remote I/O error");
    EXPECT_EQ(texts[i + 1], "current illuminance: 0.00");
  }
  EXPECT_EQ(Texts(Messages(run.out, "")), texts);
  const std::vector<Parsed> errors = Messages(run.file, "log", "error");
  EXPECT_EQ(errors.size(), (texts.size() - 2) / 2);
  int writes = 0;
  for (const Transaction& t : sensor.Transactions()) writes += t.kind == Transaction::Kind::kWrite;
  // The wake at start, and once before each later try (the kill may land
  // in the settle time after one more).
  const int tries = static_cast<int>(errors.size());
  EXPECT_TRUE(writes == 3 * tries || writes == 3 * tries + 3) << writes << " writes";
}

// A loose wire: the sensor is off the bus for about three seconds and comes
// back powered down. The log says so every cycle, says when it is back, and
// the first reading after it is real: no 0.00 without an error line before it.
TEST_F(LightTest, ASensorUnpluggedAndPluggedBackIsMeasuredAgain) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  Child child(Command(tool_), work_);
  std::this_thread::sleep_for(milliseconds(1700));
  sensor.Unplug();
  std::this_thread::sleep_for(milliseconds(3000));
  sensor.Plug();
  const int status = child.StopAfter(milliseconds(2600));

  EXPECT_EQ(status, 128 + 9);
  const std::string file = ReadFile(log_);
  const std::vector<Parsed> lines = Messages(file, "log");
  const std::vector<std::string> texts = Texts(lines);
  EXPECT_EQ(Texts(Messages(child.out(), "")), texts);
  ASSERT_GE(texts.size(), 12U) << file;

  std::size_t back = 0, failures = 0;
  for (std::size_t i = 2; i < texts.size(); ++i) {
    const std::string& text = texts[i];
    if (text.rfind(kFailure, 0) == 0) {
      ++failures;
      ASSERT_LT(i + 1, texts.size());
      EXPECT_EQ(texts[i + 1], "current illuminance: 0.00") << "an error line pairs with a 0.00";
    } else if (text == "current illuminance: 0.00") {
      EXPECT_EQ(texts[i - 1].rfind(kFailure, 0), 0U) << "a 0.00 without a failure, line " << i;
    } else if (text.rfind("Sensor at 0x23 on /dev/i2c-0 is back after ", 0) == 0) {
      EXPECT_EQ(back, 0U) << "said to be back twice";
      back = i;
      EXPECT_EQ(texts[i + 1], "current illuminance: 250.00") << "the first reading back";
    } else {
      EXPECT_EQ(text, "current illuminance: 250.00") << file;
    }
  }
  EXPECT_GE(failures, 2U) << file;
  EXPECT_LE(failures, 4U) << file;
  ASSERT_GT(back, 0U) << file;
  EXPECT_EQ(texts[back - 2].rfind(kFailure, 0), 0U);
  EXPECT_GE(texts.size() - back, 3U) << "measuring went on";
  // A gone sensor costs the cycle no time; the cycle that wakes it again
  // takes the settle time more.
  for (std::size_t i = 3; i < lines.size(); ++i) {
    if (lines[i].message.rfind("current illuminance: ", 0) != 0) continue;
    const long long period = Period(lines, i);
    if (i == back + 1) {
      EXPECT_GE(period, 1300) << "line " << i;
      EXPECT_LT(period, 1600) << "line " << i;
    } else {
      EXPECT_GE(period, 1000) << "line " << i;
      EXPECT_LT(period, 1150) << "line " << i;
    }
  }
}

TEST_F(LightTest, ARestartAppendsToTheLogFile) {
  SimulatedSensor sensor;
  sensor.SetCount(120);

  const Measured first = MeasureFor(milliseconds(1500));
  const Measured second = MeasureFor(milliseconds(1500));

  ASSERT_FALSE(first.file.empty());
  EXPECT_EQ(second.file.compare(0, first.file.size(), first.file), 0);
  int opens = 0;
  for (const std::string& text : Texts(Messages(second.file, "log"))) opens += text == kOpened;
  EXPECT_EQ(opens, 2);
  EXPECT_NE(second.file.find("current illuminance: 100.00"), std::string::npos);
}

}  // namespace
