#include "simulated_sensor.h"

#include <dirent.h>
#include <errno.h>
#include <linux/i2c-dev.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr const char* kBusRecord =
    "P: /devices/i2c-0\n"
    "N: i2c-0\n"
    "E: SUBSYSTEM=i2c-dev\n"
    "A: dev=89:0\n";

enum : std::uint8_t {
  kOpPowerDown = 0x00,
  kOpPowerOn = 0x01,
  kOpReset = 0x07,
  kOpContinuousHigh = 0x10,
};

void Die(const char* what, GError* error) {
  std::fprintf(stderr, "simulated sensor: %s: %s\n", what, error ? error->message : "failed");
  std::abort();
}

}  // namespace

const char* KindName(Transaction::Kind kind) {
  static const char* const kNames[] = {"open", "select", "write", "read"};
  return kNames[static_cast<int>(kind)];
}

SimulatedSensor::SimulatedSensor(bool with_bus) {
  SetCount(0);
  testbed_ = umockdev_testbed_new();
  if (!with_bus) return;
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, kBusRecord, &error)) Die("add bus", error);
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(OnRead), this);
  if (!umockdev_testbed_attach_ioctl(testbed_, "/dev/i2c-0", handler_, &error)) {
    Die("attach ioctl handler", error);
  }
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  const std::string node = std::string(root) + "/dev/i2c-0";
  g_free(root);
  char target[256] = {};
  if (readlink(node.c_str(), target, sizeof(target) - 1) > 0) device_ = target;
}

SimulatedSensor::~SimulatedSensor() {
  if (handler_ != nullptr) {
    umockdev_testbed_detach_ioctl(testbed_, "/dev/i2c-0", nullptr);
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
  }
  g_object_unref(testbed_);
}

void SimulatedSensor::SetAddresses(std::set<unsigned> addresses) {
  std::lock_guard<std::mutex> lock(mutex_);
  addresses_ = std::move(addresses);
}

void SimulatedSensor::SetCount(std::uint16_t count) {
  SetCountSource([count](std::size_t) { return count; });
}

void SimulatedSensor::SetCounts(std::vector<std::uint16_t> counts) {
  SetCountSource([counts = std::move(counts)](std::size_t n) {
    return counts.empty() ? std::uint16_t{0} : counts[std::min(n, counts.size() - 1)];
  });
}

void SimulatedSensor::SetCountSource(std::function<std::uint16_t(std::size_t)> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  count_ = std::move(source);
}

void SimulatedSensor::NackWrite(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  nack_write_ = n;
}

void SimulatedSensor::FailReadsFrom(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_reads_from_ = n;
}

void SimulatedSensor::ShortReadsFrom(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  short_reads_from_ = n;
}

void SimulatedSensor::FailRead(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_reads_.insert(n);
}

void SimulatedSensor::ShortRead(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  short_reads_.insert(n);
}

void SimulatedSensor::RefuseSelection(unsigned address) {
  std::lock_guard<std::mutex> lock(mutex_);
  refused_.insert(address);
}

void SimulatedSensor::Unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  plugged_ = false;
}

void SimulatedSensor::Plug() {
  std::lock_guard<std::mutex> lock(mutex_);
  plugged_ = true;
  power_ = Power::kDown;
  held_ = 0;
}

std::vector<Transaction> SimulatedSensor::Transactions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transactions_;
}

int SimulatedSensor::OpenDescriptors() const {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    char target[256] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && device_ == target) ++n;
  }
  closedir(dir);
  return n;
}

SimulatedSensor::Power SimulatedSensor::power() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return power_;
}

void SimulatedSensor::Record(Transaction::Kind kind, unsigned address,
                             std::vector<std::uint8_t> data, long result, int error) {
  transactions_.push_back(
      {kind, address, std::move(data), result, error, std::chrono::steady_clock::now()});
}

bool SimulatedSensor::Acknowledges() const { return plugged_ && addresses_.count(selected_) != 0; }

void SimulatedSensor::Command(std::uint8_t opcode) {
  switch (opcode) {
    case kOpPowerDown:
      power_ = Power::kDown;
      break;
    case kOpPowerOn:
      if (power_ == Power::kDown) power_ = Power::kOn;
      break;
    case kOpReset:
      // The sensor ignores a reset while powered down.
      if (power_ != Power::kDown) held_ = 0;
      break;
    case kOpContinuousHigh:
      power_ = Power::kMeasuring;
      measure_start_ = std::chrono::steady_clock::now();
      break;
    default:
      break;
  }
}

std::uint16_t SimulatedSensor::Register() {
  if (power_ == Power::kMeasuring &&
      std::chrono::steady_clock::now() - measure_start_ >= kMeasurementTime) {
    held_ = count_(counts_read_++);
  }
  return held_;
}

int SimulatedSensor::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, SimulatedSensor* self) {
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->selected_ = 0;  // a fresh descriptor has no address bound
  self->Record(Transaction::Kind::kOpen, 0, {}, 0, 0);
  return TRUE;
}

int SimulatedSensor::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                             SimulatedSensor* self) {
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (umockdev_ioctl_client_get_request(client) != I2C_SLAVE) {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long address = 0;
  std::memcpy(&address, arg->data,
              std::min(sizeof(address), static_cast<std::size_t>(arg->data_len)));
  if (address > 0x7F) {
    self->Record(Transaction::Kind::kSelect, address, {}, -1, EINVAL);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  } else if (self->refused_.count(address) != 0) {
    self->Record(Transaction::Kind::kSelect, address, {}, -1, EBUSY);
    umockdev_ioctl_client_complete(client, -1, EBUSY);
  } else {
    self->selected_ = address;
    self->Record(Transaction::Kind::kSelect, address, {}, 0, 0);
    umockdev_ioctl_client_complete(client, 0, 0);
  }
  return TRUE;
}

int SimulatedSensor::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                             SimulatedSensor* self) {
  std::lock_guard<std::mutex> lock(self->mutex_);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::vector<std::uint8_t> bytes(arg->data, arg->data + arg->data_len);
  const int n = ++self->writes_;
  if (!self->Acknowledges() || n == self->nack_write_) {
    self->Record(Transaction::Kind::kWrite, self->selected_, std::move(bytes), -1, EREMOTEIO);
    umockdev_ioctl_client_complete(client, -1, EREMOTEIO);
    return TRUE;
  }
  for (std::uint8_t opcode : bytes) self->Command(opcode);
  const long length = static_cast<long>(bytes.size());
  self->Record(Transaction::Kind::kWrite, self->selected_, std::move(bytes), length, 0);
  umockdev_ioctl_client_complete(client, length, 0);
  return TRUE;
}

int SimulatedSensor::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client,
                            SimulatedSensor* self) {
  std::lock_guard<std::mutex> lock(self->mutex_);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const int n = ++self->reads_;
  if (!self->Acknowledges() || (self->fail_reads_from_ > 0 && n >= self->fail_reads_from_) ||
      self->failed_reads_.count(n) != 0) {
    self->Record(Transaction::Kind::kRead, self->selected_, {}, -1, EREMOTEIO);
    umockdev_ioctl_client_complete(client, -1, EREMOTEIO);
    return TRUE;
  }
  const std::uint16_t count = self->Register();
  std::vector<std::uint8_t> sent = {static_cast<std::uint8_t>(count >> 8),
                                    static_cast<std::uint8_t>(count & 0xFF)};
  std::size_t length = std::min(sent.size(), static_cast<std::size_t>(arg->data_len));
  if ((self->short_reads_from_ > 0 && n >= self->short_reads_from_) ||
      self->short_reads_.count(n) != 0)
    length = std::min<std::size_t>(length, 1);
  sent.resize(length);
  std::memcpy(arg->data, sent.data(), length);
  self->Record(Transaction::Kind::kRead, self->selected_, sent, static_cast<long>(length), 0);
  umockdev_ioctl_client_complete(client, static_cast<long>(length), 0);
  return TRUE;
}
