// Runs a command against the simulated light sensor on an emulated
// /dev/i2c-0, so the real tool can be run and watched without a board:
//
//   sensor_runner [--address 0x23|0x5c|none] [--count N | --wave]
//                 [--fail-reads-from N] [--unplug FROM:TO] [--transactions FILE]
//                 -- COMMAND [ARG...]
//
// --unplug takes the sensor off the bus FROM seconds after the command
// started and puts it back, powered down as after a power cut, at TO (a
// loose wire).
// It exits with the command's status. With --transactions it writes every bus
// transaction, one a line ("<seconds since boot> <kind> <result>"), to FILE. Without umockdev's
// preload library it starts itself again under umockdev-wrapper.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulated_sensor.h"

namespace {

pid_t child = -1;

void Forward(int signal_number) {
  if (child > 0) kill(child, signal_number);
}

int Usage() {
  std::fprintf(stderr,
               "usage: sensor_runner [--address 0x23|0x5c|none] [--count N | --wave]\n"
               "                     [--fail-reads-from N] [--unplug FROM:TO]\n"
               "                     [--transactions FILE]\n"
               "                     -- COMMAND [ARG...]\n");
  return 2;
}

// Light that drifts between dim indoor and bright window light, twice a
// minute, so the readings visibly move.
std::uint16_t Wave(std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double lux = 400.0 + 350.0 * std::sin(seconds * 2.0 * M_PI / 30.0);
  return static_cast<std::uint16_t>(std::lround(lux * 1.2));
}

// Steady-clock times are seconds since boot on Linux, as /proc reports them.
void WriteTransactions(const SimulatedSensor& sensor, const char* path) {
  FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return;
  }
  for (const Transaction& t : sensor.Transactions()) {
    std::fprintf(out, "%.6f %s %ld\n",
                 std::chrono::duration<double>(t.time.time_since_epoch()).count(), KindName(t.kind),
                 t.result);
  }
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    std::vector<char*> args = {const_cast<char*>("umockdev-wrapper")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("sensor_runner: umockdev-wrapper");
    return 127;
  }

  std::set<unsigned> addresses = {0x23};
  long count = 300;
  bool wave = false;
  int fail_reads_from = 0;
  double unplug_from = -1, unplug_to = -1;
  const char* transactions = nullptr;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc && option != "--wave") return Usage();
    if (option == "--address") {
      const std::string value = argv[++i];
      addresses.clear();
      if (value != "none") addresses.insert(std::strtoul(value.c_str(), nullptr, 0));
    } else if (option == "--count") {
      count = std::strtol(argv[++i], nullptr, 0);
    } else if (option == "--wave") {
      wave = true;
    } else if (option == "--fail-reads-from") {
      fail_reads_from = std::atoi(argv[++i]);
    } else if (option == "--unplug") {
      char rest = 0;
      if (std::sscanf(argv[++i], "%lf:%lf%c", &unplug_from, &unplug_to, &rest) != 2 ||
          unplug_from < 0 || unplug_to < unplug_from) {
        return Usage();
      }
    } else if (option == "--transactions") {
      transactions = argv[++i];
    } else {
      return Usage();
    }
  }
  if (i + 1 >= argc || count < 0 || count > 0xFFFF) return Usage();

  SimulatedSensor sensor;
  sensor.SetAddresses(addresses);
  if (wave) {
    const auto start = std::chrono::steady_clock::now();
    sensor.SetCountSource([start](std::size_t) { return Wave(start); });
  } else {
    sensor.SetCount(static_cast<std::uint16_t>(count));
  }
  if (fail_reads_from > 0) sensor.FailReadsFrom(fail_reads_from);

  child = fork();
  if (child == 0) {
    // A runner started in the background ignores SIGINT; the command should not.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execvp(argv[i + 1], argv + i + 1);
    std::perror("sensor_runner: exec");
    _exit(127);
  }
  if (child < 0) return 1;
  signal(SIGINT, Forward);
  signal(SIGTERM, Forward);

  // The loose wire, on its own thread; it gives up when the command ends.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread wire;
  if (unplug_from >= 0) {
    wire = std::thread([&] {
      const auto start = std::chrono::steady_clock::now();
      using Seconds = std::chrono::duration<double>;
      std::unique_lock<std::mutex> lock(mutex);
      const auto at = [start](double s) {
        return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(s));
      };
      if (ended.wait_until(lock, at(unplug_from), [&] { return done; })) return;
      sensor.Unplug();
      if (ended.wait_until(lock, at(unplug_to), [&] { return done; })) return;
      sensor.Plug();
    });
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (wire.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    ended.notify_all();
    wire.join();
  }
  if (transactions != nullptr) WriteTransactions(sensor, transactions);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
