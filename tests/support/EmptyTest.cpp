#include <gtest/gtest.h>

// Stands in while a test binary has no tests of its own yet.
TEST(Empty, NothingToTestYet) {
  SUCCEED();
}
