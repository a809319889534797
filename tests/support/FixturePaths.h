#pragma once

#include <filesystem>

namespace testsupport {

// Folder of the generated test fixtures: tools/fixtures/<name>.py writes into fixturesDir() / "<name>".
inline std::filesystem::path fixturesDir() {
  return PV_FIXTURES_DIR;
}
inline std::filesystem::path sourceDir() {
  return PV_SOURCE_DIR;
}
// Test data kept with the sources (tests/data), for what cannot be generated.
inline std::filesystem::path testDataDir() {
  return sourceDir() / "tests" / "data";
}

}  // namespace testsupport
