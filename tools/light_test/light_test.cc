// Measures ambient light once a second and logs it, beside the executable
// and on standard output, until killed.

#include <chrono>
#include <thread>

#include "illuminance/illuminance.h"
#include "log/log.h"

int main() {
  Illuminance illuminance;
  if (!illuminance.Open()) return -1;
  for (;;) {
    LOG_INFO("current illuminance: {:.2f}", illuminance.Read());
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}
