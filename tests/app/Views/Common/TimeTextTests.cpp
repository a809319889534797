#include "Views/Common/TimeText.h"

#include <gtest/gtest.h>

#include <limits>

using namespace parlowvista;

namespace {

TEST(TimeText, MinutesAndSecondsTruncatedWithoutAnHourField) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  const struct {
    double seconds;
    const char* asSigned;
    const char* asZero;
  } cases[] = {
      {0, "0:00", "0:00"},         {0.4, "0:00", "0:00"},
      {59.9, "0:59", "0:59"},      {60, "1:00", "1:00"},
      {3599.99, "59:59", "59:59"}, {3600, "60:00", "60:00"},
      {3725.9, "62:05", "62:05"},  {-0.5, "0:00", "0:00"},
      {-5, "0:-5", "0:00"},        {-61, "-1:-1", "0:00"},
      {-3600, "-60:00", "0:00"},   {9.9e14, "16500000000000:00", "16500000000000:00"},
      {1e15, "0:00", "0:00"},      {-1e15, "0:00", "0:00"},
      {1e300, "0:00", "0:00"},     {std::numeric_limits<double>::max(), "0:00", "0:00"},
      {nan, "0:00", "0:00"},       {inf, "0:00", "0:00"},
      {-inf, "0:00", "0:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(minutesSeconds(c.seconds), c.asSigned) << c.seconds;
    EXPECT_EQ(minutesSeconds(c.seconds, NegativeTime::Signed), c.asSigned) << c.seconds;
    EXPECT_EQ(minutesSeconds(c.seconds, NegativeTime::AsZero), c.asZero) << c.seconds;
  }
}

}  // namespace
