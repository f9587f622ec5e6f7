// Writes the messages named on its command line through the dual log
// statement: "info TEXT", "error TEXT", "debug TEXT" or "sleep MILLISECONDS",
// in order. The tests find each statement's line by its trailing tag.

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/log.h"

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string what = argv[i];
    const char* text = argv[i + 1];
    if (what == "info") {
      LOG_INFO("{}", text);  // tag:info
    } else if (what == "error") {
      LOG_ERROR("{}", text);  // tag:error
    } else if (what == "debug") {
      LOG_AT(spdlog::level::debug, "{}", text);  // tag:debug
    } else if (what == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(text)));
    } else {
      return 2;
    }
  }
  return 0;
}
