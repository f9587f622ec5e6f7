// The built tool as a process: copied into a scratch directory, run from
// another working directory, against the simulated sensor.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
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

TEST_F(LightTest, KeepsLoggingZeroAfterTheSensorStopsAnswering) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  sensor.FailReadsFrom(2);

  const Measured run = MeasureFor(milliseconds(3600));

  const std::vector<std::string> texts = Texts(Messages(run.file, "log"));
  ASSERT_GE(texts.size(), 5U);
  EXPECT_EQ(texts[2], "current illuminance: 250.00");
  for (std::size_t i = 3; i < texts.size(); ++i) EXPECT_EQ(texts[i], "current illuminance: 0.00");
  EXPECT_EQ(Texts(Messages(run.out, "")), texts);
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
