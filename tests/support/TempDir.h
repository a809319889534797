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

// The temporary folder of a whole test run: a fresh folder under the system's temporary folder
// that becomes the process's own ($TMPDIR, which what it starts inherits), removed with the
// object. What the tests make there must be gone again once they have all ended: the check
// that says so is a GoogleTest environment (the runtime folders a Qt program and a sound
// server's client make when the session names none are left aside).
class RunTemporaryFolder {
 public:
  // The temporary folder the first run's folder was made in (the system's, or the caller's
  // $TMPDIR): for what a failed test keeps for a person to look at.
  static constexpr const char* kOuterTemporaryFolderVariable = "PV_TEST_OUTER_TMPDIR";

  RunTemporaryFolder();
  ~RunTemporaryFolder();
  RunTemporaryFolder(const RunTemporaryFolder&) = delete;
  RunTemporaryFolder& operator=(const RunTemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return m_folder.path(); }
  // The check, for ::testing::AddGlobalTestEnvironment (which takes it over).
  ::testing::Environment* leftEmptyCheck() const;

 private:
  TempDir m_folder;
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
