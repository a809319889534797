// The value layer stands below everything else in the application: nothing in app/Models may
// include the store, the services, the view models, the views or the composition root.

#include "support/FixturePaths.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(ModelLayer, IncludesNothingFromTheLayersAboveIt) {
  const std::regex upward(R"(^\s*#\s*include\s*[<"](Store|Services|ViewModels|Views|App)/)");
  const std::filesystem::path models = testsupport::sourceDir() / "app" / "Models";
  int files = 0;
  std::vector<std::string> offenders;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(models)) {
    const std::string extension = entry.path().extension().string();
    if (extension != ".h" && extension != ".cpp") continue;
    ++files;
    std::ifstream in(entry.path());
    int number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      if (std::regex_search(line, upward))
        offenders.push_back(entry.path().filename().string() + ":" + std::to_string(number) + ": " + line);
    }
  }
  EXPECT_GT(files, 20) << "no model sources found under " << models;
  std::string list;
  for (const std::string& offender : offenders) list += "\n  " + offender;
  EXPECT_TRUE(offenders.empty()) << "app/Models includes from above it:" << list;
}

}  // namespace
