// The built tool as a process on a machine without an I2C bus, as it runs
// on the build machine and, for the board's build, under emulation.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "test_process.h"
#include "tool_fixture.h"

namespace {

TEST_F(LightTest, WithoutABusEndsAtOnceWithOneErrorLine) {
  if (access("/dev/i2c-0", F_OK) == 0) GTEST_SKIP() << "this machine has a bus";

  const Outcome outcome = RunToEnd(Command(tool_), work_, std::chrono::seconds(5));

  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(Texts(Messages(outcome.out, "", "error")),
            std::vector<std::string>{"Open /dev/i2c-0 error!"});
  EXPECT_EQ(Lines(outcome.out).size(), 1U);
  EXPECT_EQ(Texts(Messages(ReadFile(log_), "log", "error")),
            std::vector<std::string>{"Open /dev/i2c-0 error!"});
  EXPECT_EQ(Lines(ReadFile(log_)).size(), 1U);
}

// A board deployed today is still measuring after January 2038: its lines
// must carry the right date then, on 32-bit ARM as on the build machine.
TEST_F(LightTest, DatesItsLinesRightAfter2038) {
  if (access("/dev/i2c-0", F_OK) == 0) GTEST_SKIP() << "this machine has a bus";
#ifdef TOOL_IS_STATIC
  GTEST_SKIP() << "the clock shim cannot be preloaded into a static tool: the emulated board "
                  "runs it with its clock set past 2038";
#endif
  const std::time_t at = 2199960000;  // 2039-09-18 12:00:00 UTC
  const std::time_t offset = at - std::time(nullptr);
  const std::string preload = std::string(TEST_LAUNCHER).empty()
                                  ? "LD_PRELOAD=" CLOCK_SHIM
                                  : "QEMU_SET_ENV=LD_PRELOAD=" CLOCK_SHIM;
  std::vector<std::string> command = {"env", "TZ=UTC",
                                      "CLOCK_SHIM_OFFSET=" + std::to_string(offset), preload};
  for (const std::string& word : Command(tool_)) command.push_back(word);

  const Outcome outcome = RunToEnd(command, work_, std::chrono::seconds(5));

  ASSERT_EQ(outcome.status, 255) << outcome.err;
  const std::chrono::milliseconds expected = std::chrono::seconds(at);
  for (const auto& [output, name] :
       {std::pair{outcome.out, ""}, std::pair{ReadFile(log_), "log"}}) {
    const std::vector<Parsed> lines = Messages(output, name);
    ASSERT_EQ(lines.size(), 1U) << output;
    EXPECT_LT(std::chrono::abs(lines[0].time - expected), std::chrono::seconds(10)) << output;
    EXPECT_EQ(output.substr(0, 12), "[2039-09-18 ") << output;
  }
}

}  // namespace
