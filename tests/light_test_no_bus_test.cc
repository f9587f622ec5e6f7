// The built tool as a process on a machine without an I2C bus, as it runs
// on the build machine and, for the board's build, under emulation.

#include <gtest/gtest.h>
#include <unistd.h>

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

}  // namespace
