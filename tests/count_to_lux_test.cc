// The conversion from the sensor's two data bytes to lux.

#include <gtest/gtest.h>

#include "illuminance/illuminance.h"

namespace {

TEST(CountToLux, DividesTheHighByteFirstCountByOnePointTwo) {
  struct Case {
    std::uint8_t high, low;
    double lux;
  };
  for (const Case& c : {Case{0x00, 0x00, 0.0}, Case{0x01, 0x2C, 250.0}, Case{0xFF, 0xFF, 54612.5},
                        Case{0x00, 0x01, 1 / 1.2}}) {
    EXPECT_DOUBLE_EQ(CountToLux(c.high, c.low), c.lux) << int(c.high) << " " << int(c.low);
  }
}

}  // namespace
