// main() of the engine's test binaries: every GoogleTest test, in a temporary folder of the
// run's own that is empty again once they have ended.
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  const testsupport::RunTemporaryFolder runFolder;
  ::testing::InitGoogleMock(&argc, argv);
  ::testing::AddGlobalTestEnvironment(runFolder.leftEmptyCheck());
  return RUN_ALL_TESTS();
}
