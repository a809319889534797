#pragma once

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes away.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "pv-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

// Test fixture with a temporary folder per test.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir tempDir;
};

// Writes `contents` to `path` (creating parent folders) and returns the path.
std::filesystem::path writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);
// Every file below `folder` with its content, by path relative to the folder; none when the
// folder is not there.
std::map<std::string, std::string> filesIn(const std::filesystem::path& folder);

}  // namespace testsupport
