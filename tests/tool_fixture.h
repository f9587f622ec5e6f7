#ifndef LIGHT_TEST_TESTS_TOOL_FIXTURE_H_
#define LIGHT_TEST_TESTS_TOOL_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "test_process.h"

// The built tool copied into bin/ of a scratch directory, to be run from
// work/, and the log file it should write beside itself.
class LightTest : public testing::Test {
 protected:
  struct Measured {
    int status;
    std::string out, err, file;
  };

  LightTest()
      : bin_(dir_.Sub("bin")),
        work_(dir_.Sub("work")),
        tool_(CopyExecutable(LIGHT_TEST, bin_)),
        log_(bin_ + "/logs/light_test.log") {}

  // Runs the tool until `run` has passed, then kills it.
  Measured MeasureFor(std::chrono::milliseconds run) const {
    Child child(Command(tool_), work_);
    const int status = child.StopAfter(run);
    // The log may stand for a device (/dev/full) that reads without end.
    const bool regular = std::filesystem::is_regular_file(log_);
    return {status, child.out(), child.err(), regular ? ReadFile(log_) : ""};
  }

  TempDir dir_;
  std::string bin_, work_, tool_, log_;
};

// The message of a line in spdlog's default layout, with the logger's name
// ("log" in the file, none on the console) and the level checked.
struct Parsed {
  std::string message;
  std::chrono::milliseconds time;  // the line's wall-clock time, taken as UTC
};
inline std::vector<Parsed> Messages(const std::string& output, const std::string& name,
                                    const std::string& level_filter = "") {
  static const std::regex kLine(
      R"(\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3})\] (\[(\w+)\] )?\[(\w+)\] \[[\w.]+:\d+\] (.*))");
  std::vector<Parsed> parsed;
  for (const std::string& line : Lines(output)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, kLine)) << line;
    if (m.empty()) continue;
    EXPECT_EQ(m[9].str(), name) << line;
    if (!level_filter.empty() && m[10].str() != level_filter) continue;
    std::tm parts{};
    parts.tm_year = std::stoi(m[1]) - 1900;
    parts.tm_mon = std::stoi(m[2]) - 1;
    parts.tm_mday = std::stoi(m[3]);
    parts.tm_hour = std::stoi(m[4]);
    parts.tm_min = std::stoi(m[5]);
    parts.tm_sec = std::stoi(m[6]);
    const long long ms = static_cast<long long>(timegm(&parts)) * 1000 + std::stoi(m[7]);
    parsed.push_back({m[11].str(), std::chrono::milliseconds(ms)});
  }
  return parsed;
}

inline std::vector<std::string> Texts(const std::vector<Parsed>& parsed) {
  std::vector<std::string> texts;
  for (const Parsed& p : parsed) texts.push_back(p.message);
  return texts;
}

#endif  // LIGHT_TEST_TESTS_TOOL_FIXTURE_H_
