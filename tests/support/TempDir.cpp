#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder");
  }
  m_path = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

namespace {

class LeftEmpty : public ::testing::Environment {
 public:
  explicit LeftEmpty(std::filesystem::path folder) : m_folder(std::move(folder)) {}
  void TearDown() override {
    std::string left;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("runtime-") || name.starts_with("pulse-")) continue;
      left += (left.empty() ? "" : ", ") + name;
    }
    EXPECT_TRUE(left.empty()) << "the tests left in the temporary folder: " << left;
  }

 private:
  std::filesystem::path m_folder;
};

}  // namespace

RunTemporaryFolder::RunTemporaryFolder() : m_folder("pv-run") {
  // A run started by another run keeps the first one's: what a failed test keeps outlives both.
  ::setenv(kOuterTemporaryFolderVariable, m_folder.path().parent_path().c_str(), 0);
  ::setenv("TMPDIR", m_folder.path().c_str(), 1);
}

RunTemporaryFolder::~RunTemporaryFolder() = default;

::testing::Environment* RunTemporaryFolder::leftEmptyCheck() const {
  return new LeftEmpty(m_folder.path());
}

std::filesystem::path writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path.string());
  return path;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> filesIn(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) files[it->path().lexically_relative(folder).string()] = readFile(it->path());
  }
  return files;
}

}  // namespace testsupport
