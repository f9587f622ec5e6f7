#ifndef LIGHT_TEST_TESTS_SIMULATED_SENSOR_H_
#define LIGHT_TEST_TESTS_SIMULATED_SENSOR_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

// One call that reached the simulated bus device, as the sensor saw it.
struct Transaction {
  enum class Kind { kOpen, kSelect, kWrite, kRead };
  Kind kind;
  unsigned address;                // selected address (kSelect: the one asked for)
  std::vector<std::uint8_t> data;  // bytes written, or bytes returned by a read
  long result;
  int error;  // errno of a failed call, else 0
  std::chrono::steady_clock::time_point time;
};

// "open", "select", "write" or "read".
const char* KindName(Transaction::Kind kind);

// A behavioural model of an ambient light sensor with the BH1750 command set
// behind an emulated /dev/i2c-0 (umockdev). The process, and any child that
// inherits its environment, must run under umockdev-wrapper.
class SimulatedSensor {
 public:
  enum class Power { kDown, kOn, kMeasuring };
  static constexpr auto kMeasurementTime = std::chrono::milliseconds(120);

  // With `with_bus` false the testbed has no /dev/i2c-0 at all.
  explicit SimulatedSensor(bool with_bus = true);
  ~SimulatedSensor();
  SimulatedSensor(const SimulatedSensor&) = delete;
  SimulatedSensor& operator=(const SimulatedSensor&) = delete;

  // Addresses that acknowledge; by default only 0x23.
  void SetAddresses(std::set<unsigned> addresses);
  // The count of the n-th read (from 0) that finds a finished measurement.
  void SetCount(std::uint16_t count);
  void SetCounts(std::vector<std::uint16_t> counts);  // the last one repeats
  void SetCountSource(std::function<std::uint16_t(std::size_t)> source);
  // Faults; call numbers count from 1 over the whole bus.
  void NackWrite(int n);
  void FailReadsFrom(int n);
  void ShortReadsFrom(int n);
  // Only the n-th read fails, or gives one byte.
  void FailRead(int n);
  void ShortRead(int n);
  void RefuseSelection(unsigned address);
  // Takes the sensor off the bus (a loose wire): nothing it is sent is
  // acknowledged. Plug puts it back as after a power cut, powered down with
  // its data register cleared.
  void Unplug();
  void Plug();

  std::vector<Transaction> Transactions() const;
  Power power() const;
  // Descriptors of this process open on the bus device.
  int OpenDescriptors() const;

 private:
  static int OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, SimulatedSensor* self);
  static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, SimulatedSensor* self);
  static int OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, SimulatedSensor* self);
  static int OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, SimulatedSensor* self);

  void Record(Transaction::Kind kind, unsigned address, std::vector<std::uint8_t> data, long result,
              int error);
  bool Acknowledges() const;
  void Command(std::uint8_t opcode);
  std::uint16_t Register();

  UMockdevTestbed* testbed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  std::string device_;  // what the emulated /dev/i2c-0 stands for

  mutable std::mutex mutex_;
  std::set<unsigned> addresses_{0x23};
  std::set<unsigned> refused_;
  std::function<std::uint16_t(std::size_t)> count_;
  int nack_write_ = 0;
  int fail_reads_from_ = 0;
  int short_reads_from_ = 0;
  std::set<int> failed_reads_;
  std::set<int> short_reads_;
  unsigned selected_ = 0;
  bool plugged_ = true;
  Power power_ = Power::kDown;
  std::uint16_t held_ = 0;  // the data register
  std::chrono::steady_clock::time_point measure_start_;
  int writes_ = 0;
  int reads_ = 0;
  std::size_t counts_read_ = 0;  // measurements handed out so far
  std::vector<Transaction> transactions_;
};

#endif  // LIGHT_TEST_TESTS_SIMULATED_SENSOR_H_
