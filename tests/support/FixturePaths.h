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

}  // namespace testsupport
