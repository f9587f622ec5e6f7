// The driver against the simulated sensor, at the system-call boundary.

#include "illuminance/illuminance.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
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

TEST(IlluminanceRead, FailedAndShortReadsGiveZero) {
  SimulatedSensor sensor;
  sensor.SetCount(600);
  sensor.ShortReadsFrom(2);
  sensor.FailReadsFrom(3);
  Illuminance illuminance;
  ASSERT_TRUE(CapturedOpen(illuminance).opened);
  EXPECT_DOUBLE_EQ(illuminance.Read(), 500.0);
  EXPECT_EQ(illuminance.Read(), 0.0);  // one byte arrived
  EXPECT_EQ(illuminance.Read(), 0.0);  // EREMOTEIO
  const auto log = sensor.Transactions();
  ASSERT_EQ(log.back().kind, Kind::kRead);
  EXPECT_EQ(log.back().error, EREMOTEIO);
  EXPECT_EQ(log[log.size() - 2].result, 1);
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
