// The driver against the simulated sensor, at the system-call boundary.

#include "illuminance/illuminance.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "simulated_sensor.h"

namespace {

using Kind = Transaction::Kind;
using std::chrono::microseconds;

// A transaction reduced to what the bus protocol is about.
struct Step {
  Kind kind;
  unsigned address;
  std::vector<std::uint8_t> data;
  long result;
  bool operator==(const Step& o) const {
    return kind == o.kind && address == o.address && data == o.data && result == o.result;
  }
};

void PrintTo(const Step& s, std::ostream* os) {
  *os << KindName(s.kind) << "@0x" << std::hex << s.address;
  for (auto b : s.data) *os << " " << static_cast<int>(b);
  *os << std::dec << " -> " << s.result;
}

std::vector<Step> Steps(const std::vector<Transaction>& transactions) {
  std::vector<Step> steps;
  for (const Transaction& t : transactions) steps.push_back({t.kind, t.address, t.data, t.result});
  return steps;
}

const Step kOpenBus{Kind::kOpen, 0, {}, 0};
Step Select(unsigned address, long result = 0) { return {Kind::kSelect, address, {}, result}; }
Step Write(unsigned address, std::uint8_t byte, bool ack = true) {
  return {Kind::kWrite, address, {byte}, ack ? 1 : -1};
}
std::vector<Step> Wake(unsigned address) {
  return {Select(address), Write(address, 0x01), Write(address, 0x07), Write(address, 0x10)};
}
std::vector<Step> Concat(std::vector<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

microseconds Gap(const Transaction& from, const Transaction& to) {
  return std::chrono::duration_cast<microseconds>(to.time - from.time);
}

// Runs Open with standard output captured; returns its result and the output.
struct OpenOutcome {
  bool opened;
  std::string console;
  std::chrono::steady_clock::time_point returned;
};
OpenOutcome CapturedOpen(Illuminance& illuminance) {
  testing::internal::CaptureStdout();
  const bool opened = illuminance.Open();
  const auto returned = std::chrono::steady_clock::now();
  return {opened, testing::internal::GetCapturedStdout(), returned};
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(IlluminanceOpen, WakesThePrimaryAddressWithItsPausesAndSettles) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  ASSERT_TRUE(outcome.opened);
  const auto log = sensor.Transactions();
  EXPECT_EQ(Steps(log), Concat({{kOpenBus}, Wake(0x23)}));
  for (std::size_t i = 2; i + 1 < log.size(); ++i) {
    EXPECT_GE(Gap(log[i], log[i + 1]), microseconds(1000)) << "after wake byte " << i - 1;
  }
  EXPECT_GE(std::chrono::duration_cast<microseconds>(outcome.returned - log.back().time),
            microseconds(1000 + 300000));
  EXPECT_EQ(sensor.power(), SimulatedSensor::Power::kMeasuring);
  EXPECT_EQ(Count(outcome.console, "Open /dev/i2c-0 succeeded.\n"), 1);
  EXPECT_EQ(Count(outcome.console, "Current I2C address: 0x23\n"), 1);
  // The settle time covers the first measurement: the first reading is real.
  EXPECT_DOUBLE_EQ(illuminance.Read(), 250.0);
}

// A NACK on any wake byte at 0x23 restarts the whole sequence at 0x5C, with
// no pause after the refused byte.
class IlluminanceFallback : public testing::TestWithParam<int> {};

TEST_P(IlluminanceFallback, RestartsTheWakeSequenceAtTheSecondaryAddress) {
  const int refused = GetParam();
  SimulatedSensor sensor;
  sensor.SetAddresses({0x23, 0x5C});
  sensor.NackWrite(refused);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  ASSERT_TRUE(outcome.opened);
  std::vector<Step> expected = {kOpenBus, Select(0x23)};
  for (int i = 0; i < refused; ++i) {
    expected.push_back(Write(0x23, Illuminance::kWakeSequence[i], i + 1 < refused));
  }
  expected = Concat({expected, Wake(0x5C)});
  const auto log = sensor.Transactions();
  EXPECT_EQ(Steps(log), expected);
  const std::size_t nack = 1 + refused;
  EXPECT_LT(Gap(log[nack], log[nack + 1]), microseconds(1000)) << "paused after a NACK";
  EXPECT_EQ(Count(outcome.console, "Current I2C address: 0x5c\n"), 1);
}

INSTANTIATE_TEST_SUITE_P(OnWakeByte, IlluminanceFallback, testing::Values(1, 2, 3));

TEST(IlluminanceOpen, SensorOnlyAtTheSecondaryAddress) {
  SimulatedSensor sensor;
  sensor.SetAddresses({0x5C});
  sensor.SetCount(0x1234);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  ASSERT_TRUE(outcome.opened);
  EXPECT_EQ(Steps(sensor.Transactions()),
            Concat({{kOpenBus, Select(0x23), Write(0x23, 0x01, false)}, Wake(0x5C)}));
  EXPECT_DOUBLE_EQ(illuminance.Read(), 0x1234 / 1.2);
}

TEST(IlluminanceOpen, NoSensorPowersDownClosesAndNamesTheSecondaryAddress) {
  SimulatedSensor sensor;
  sensor.SetAddresses({});
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  EXPECT_FALSE(outcome.opened);
  EXPECT_EQ(Steps(sensor.Transactions()),
            (std::vector<Step>{kOpenBus, Select(0x23), Write(0x23, 0x01, false), Select(0x5C),
                               Write(0x5C, 0x01, false), Write(0x5C, 0x00, false)}));
  EXPECT_EQ(Count(outcome.console, "Current I2C address: 0x5c\n"), 1);
  EXPECT_EQ(sensor.OpenDescriptors(), 0) << "the bus was left open";
  EXPECT_EQ(illuminance.Read(), 0.0);
}

TEST(IlluminanceOpen, NoBusDeviceLogsOnlyTheError) {
  SimulatedSensor no_bus(false);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  EXPECT_FALSE(outcome.opened);
  EXPECT_EQ(Count(outcome.console, "\n"), 1) << outcome.console;
  EXPECT_NE(outcome.console.find("[error] [illuminance.cc:"), std::string::npos);
  EXPECT_NE(outcome.console.find("] Open /dev/i2c-0 error!\n"), std::string::npos);
  EXPECT_EQ(illuminance.Read(), 0.0);
}

// An address held by a kernel driver (EBUSY) is no sensor of ours: nothing
// may be written through a selection that did not take.
TEST(IlluminanceOpen, RefusedSelectionCountsAsNoAnswer) {
  SimulatedSensor sensor;
  sensor.SetAddresses({0x23, 0x5C});
  sensor.RefuseSelection(0x23);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  ASSERT_TRUE(outcome.opened);
  EXPECT_EQ(Steps(sensor.Transactions()), Concat({{kOpenBus, Select(0x23, -1)}, Wake(0x5C)}));
  EXPECT_EQ(Count(outcome.console, "Current I2C address: 0x5c\n"), 1);
}

TEST(IlluminanceOpen, BothSelectionsRefusedWritesNoWakeByte) {
  SimulatedSensor sensor;
  sensor.RefuseSelection(0x23);
  sensor.RefuseSelection(0x5C);
  Illuminance illuminance;
  const OpenOutcome outcome = CapturedOpen(illuminance);

  EXPECT_FALSE(outcome.opened);
  for (const Transaction& t : sensor.Transactions()) {
    if (t.kind == Kind::kWrite) {
      EXPECT_EQ(t.data, std::vector<std::uint8_t>{0x00});
    }
  }
  EXPECT_EQ(sensor.power(), SimulatedSensor::Power::kDown);
  EXPECT_EQ(Count(outcome.console, "Current I2C address: 0x5c\n"), 1);
}

TEST(IlluminanceRead, TakesTheHighByteFirstFromTheBus) {
  SimulatedSensor sensor;
  sensor.SetCounts({0x012C, 0xFFFF, 0x0000, 0x0100});
  Illuminance illuminance;
  ASSERT_TRUE(CapturedOpen(illuminance).opened);
  EXPECT_DOUBLE_EQ(illuminance.Read(), 250.0);
  EXPECT_DOUBLE_EQ(illuminance.Read(), 54612.5);
  EXPECT_DOUBLE_EQ(illuminance.Read(), 0.0);
  EXPECT_DOUBLE_EQ(illuminance.Read(), 256 / 1.2);
}

// One Read with standard output captured: what it returned, logged, sent
// over the bus and how long it took.
struct ReadOutcome {
  double lux;
  std::string console;
  std::vector<Step> steps;
  std::vector<Transaction> log;
  microseconds took;
};
ReadOutcome CapturedRead(Illuminance& illuminance, const SimulatedSensor& sensor) {
  const std::size_t before = sensor.Transactions().size();
  testing::internal::CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  const double lux = illuminance.Read();
  const auto took =
      std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start);
  const std::string console = testing::internal::GetCapturedStdout();
  const std::vector<Transaction> all = sensor.Transactions();
  const std::vector<Transaction> log(all.begin() + before, all.end());
  return {lux, console, Steps(log), log, took};
}

const Step kRead{Kind::kRead, 0x23, {0x01, 0x2C}, 2};  // a count of 300
const Step kFailedRead{Kind::kRead, 0x23, {}, -1};
std::vector<Step> Rewake() { return {Write(0x23, 0x01), Write(0x23, 0x07), Write(0x23, 0x10)}; }

// Darkness is a reading like any other: no error, nothing sent but the read.
TEST(IlluminanceRead, DarknessIsARealReading) {
  SimulatedSensor sensor;
  sensor.SetCount(0);
  Illuminance illuminance;
  ASSERT_TRUE(CapturedOpen(illuminance).opened);
  for (int i = 0; i < 3; ++i) {
    const ReadOutcome read = CapturedRead(illuminance, sensor);
    EXPECT_EQ(read.lux, 0.0);
    EXPECT_EQ(read.console, "");
    EXPECT_EQ(read.steps, (std::vector<Step>{{Kind::kRead, 0x23, {0, 0}, 2}}));
  }
}

// A reading that fails says why, once, in one error line; the sensor is
// woken again at its address before the next reading, which is a real
// measurement of the woken sensor.
struct FailedReading {
  const char* name;
  void (*fault)(SimulatedSensor&);  // applied after the first good reading
  const char* reason;
  Step failed;  // what the failing reading sent
};

void PrintTo(const FailedReading& f, std::ostream* os) { *os << f.name; }

// A sensor at 0x23 with a count of 300, opened and read once.
class MeasuringSensor : public testing::Test {
 protected:
  void SetUp() override {
    sensor.SetCount(300);
    ASSERT_TRUE(CapturedOpen(illuminance).opened);
    ASSERT_EQ(CapturedRead(illuminance, sensor).lux, 250.0);
  }
  SimulatedSensor sensor;
  Illuminance illuminance;
};

class IlluminanceFailedRead : public MeasuringSensor,
                              public testing::WithParamInterface<FailedReading> {};

TEST_P(IlluminanceFailedRead, IsLoggedAndTheSensorIsWokenAgain) {
  GetParam().fault(sensor);

  const ReadOutcome failed = CapturedRead(illuminance, sensor);
  EXPECT_EQ(failed.lux, 0.0);
  EXPECT_EQ(failed.steps, std::vector<Step>{GetParam().failed});
  EXPECT_EQ(Count(failed.console, "\n"), 1) << failed.console;
  EXPECT_NE(failed.console.find(std::string("[error] [illuminance.cc:")), std::string::npos);
  EXPECT_NE(failed.console.find(std::string("] Read /dev/i2c-0 at 0x23 failed: ") +
                                GetParam().reason + "\n"),
            std::string::npos)
      << failed.console;

  const ReadOutcome back = CapturedRead(illuminance, sensor);
  EXPECT_EQ(back.lux, 250.0) << "the first reading after a failure is a real one";
  EXPECT_EQ(back.steps, Concat({Rewake(), {kRead}}));
  for (std::size_t i = 0; i + 2 < back.log.size(); ++i) {
    EXPECT_GE(Gap(back.log[i], back.log[i + 1]), microseconds(1000)) << "after wake byte " << i;
  }
  EXPECT_GE(Gap(back.log[2], back.log[3]), microseconds(1000 + 300000)) << "no settle time";
  EXPECT_LT(back.took, microseconds(350000));
  EXPECT_EQ(Count(back.console, "\n"), 1) << back.console;
  EXPECT_NE(back.console.find("] Sensor at 0x23 on /dev/i2c-0 is back after "), std::string::npos)
      << back.console;

  // Healthy again: one read a reading, nothing else.
  const ReadOutcome after = CapturedRead(illuminance, sensor);
  EXPECT_EQ(after.lux, 250.0);
  EXPECT_EQ(after.steps, std::vector<Step>{kRead});
  EXPECT_EQ(after.console, "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IlluminanceFailedRead,
    testing::Values(FailedReading{"ReadRefused", [](SimulatedSensor& s) { s.FailRead(2); },
                                  "Remote I/O error", kFailedRead},
                    FailedReading{"ShortRead", [](SimulatedSensor& s) { s.ShortRead(2); },
                                  "short read: 1 of 2 bytes", Step{Kind::kRead, 0x23, {0x01}, 1}},
                    // A brown-out between two readings: the chip answers again, powered
                    // down and holding 0, and would read as darkness if not woken.
                    FailedReading{"PowerCutBetweenReadings",
                                  [](SimulatedSensor& s) {
                                    s.Unplug();
                                    s.Plug();
                                    s.FailRead(2);
                                  },
                                  "Remote I/O error", kFailedRead}),
    [](const testing::TestParamInfo<FailedReading>& info) { return info.param.name; });

// A sensor pulled off the bus and plugged back seconds later, powered down as
// after a power cut: an error line every reading while it is gone, each
// costing one refused wake byte and no pause; then it is woken, said to be
// back, and read for real, never as the 0 of the reset chip.
TEST_F(MeasuringSensor, UnpluggedAndPluggedBackIsReadAgain) {
  sensor.Unplug();
  const ReadOutcome first = CapturedRead(illuminance, sensor);
  EXPECT_EQ(first.lux, 0.0);
  EXPECT_EQ(first.steps, std::vector<Step>{kFailedRead});
  EXPECT_NE(first.console.find("] Read /dev/i2c-0 at 0x23 failed: Remote I/O error\n"),
            std::string::npos);
  for (int i = 0; i < 3; ++i) {
    const ReadOutcome gone = CapturedRead(illuminance, sensor);
    EXPECT_EQ(gone.lux, 0.0);
    EXPECT_EQ(gone.steps, std::vector<Step>{Write(0x23, 0x01, false)}) << "no fallback, no read";
    EXPECT_EQ(Count(gone.console, "\n"), 1) << gone.console;
    EXPECT_NE(gone.console.find(
                  "] Read /dev/i2c-0 at 0x23 failed: wake-up not acknowledged: Remote I/O error\n"),
              std::string::npos)
        << gone.console;
    EXPECT_LT(gone.took, microseconds(20000)) << "a gone sensor must not slow the cycle";
  }

  sensor.Plug();
  EXPECT_EQ(sensor.power(), SimulatedSensor::Power::kDown);
  const ReadOutcome back = CapturedRead(illuminance, sensor);
  EXPECT_EQ(back.lux, 250.0);
  EXPECT_EQ(back.steps, Concat({Rewake(), {kRead}}));
  EXPECT_EQ(sensor.power(), SimulatedSensor::Power::kMeasuring);
  std::smatch gone_for;
  ASSERT_TRUE(std::regex_search(back.console, gone_for,
                                std::regex(R"(\] Sensor at 0x23 on /dev/i2c-0 is back after )"
                                           R"((\d+\.\d) s\.\n$)")))
      << back.console;
  // Gone from the first failed reading to the re-wake: four readings apart,
  // which here follow each other without the tool's one-second sleep.
  EXPECT_LT(std::stod(gone_for[1]), 1.0);
  EXPECT_EQ(sensor.OpenDescriptors(), 1) << "the bus was reopened";
}

TEST(IlluminanceRead, ASensorThatAcknowledgesTheWakeButFailsTheReadStaysLost) {
  SimulatedSensor sensor;
  sensor.SetCount(300);
  sensor.FailReadsFrom(1);
  Illuminance illuminance;
  ASSERT_TRUE(CapturedOpen(illuminance).opened);
  EXPECT_EQ(CapturedRead(illuminance, sensor).lux, 0.0);
  for (int i = 0; i < 2; ++i) {
    const ReadOutcome again = CapturedRead(illuminance, sensor);
    EXPECT_EQ(again.lux, 0.0);
    EXPECT_EQ(again.steps, Concat({Rewake(), {kFailedRead}}));
    EXPECT_EQ(Count(again.console, "is back"), 0) << again.console;
    EXPECT_EQ(Count(again.console, "failed: Remote I/O error\n"), 1) << again.console;
  }
}

TEST(IlluminanceRead, WithoutAnOpenBusTouchesNothing) {
  SimulatedSensor sensor;
  Illuminance never_opened;
  EXPECT_EQ(never_opened.Read(), 0.0);
  never_opened.Close();
  EXPECT_TRUE(sensor.Transactions().empty());

  Illuminance closed;
  ASSERT_TRUE(CapturedOpen(closed).opened);
  closed.Close();
  const std::size_t after_close = sensor.Transactions().size();
  EXPECT_EQ(closed.Read(), 0.0);
  EXPECT_EQ(sensor.Transactions().size(), after_close);
}

TEST(IlluminanceClose, PowersDownOnceWhenCalledTwice) {
  SimulatedSensor sensor;
  Illuminance illuminance;
  ASSERT_TRUE(CapturedOpen(illuminance).opened);
  EXPECT_EQ(sensor.OpenDescriptors(), 1);
  illuminance.Close();
  EXPECT_EQ(sensor.OpenDescriptors(), 0);
  illuminance.Close();
  EXPECT_EQ(Steps(sensor.Transactions()), Concat({{kOpenBus}, Wake(0x23), {Write(0x23, 0x00)}}));
  EXPECT_EQ(sensor.power(), SimulatedSensor::Power::kDown);
}

}  // namespace
