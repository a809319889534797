#include "Services/ToolLocator.h"

#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

using parlowvista::ToolLocator;

namespace {

QString makeTool(const std::filesystem::path& path, bool executable = true) {
  testsupport::writeFile(path, "#!/bin/sh\n");
  QFile::setPermissions(QString::fromStdString(path.string()),
                        executable ? QFile::ReadOwner | QFile::ExeOwner : QFile::ReadOwner);
  return QString::fromStdString(path.string());
}

class ToolLocatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first = temp / "first";
    second = temp / "second";
    qputenv("PATH", QByteArray::fromStdString(first.string() + ":" + second.string()));
  }
  void TearDown() override { qputenv("PATH", savedPath); }

  QByteArray savedPath = qgetenv("PATH");
  testsupport::TempDir temp{"tool-locator"};
  std::filesystem::path first;
  std::filesystem::path second;
};

TEST_F(ToolLocatorTest, PathIsSearchedInOrderForExecutablesOnly) {
  makeTool(first / "tool", false);
  const QString onPath = makeTool(second / "tool");
  EXPECT_EQ(ToolLocator::onSearchPath("tool"), onPath);
  EXPECT_EQ(ToolLocator::onSearchPath("absent"), std::nullopt);
  // A name with a slash is not looked up.
  EXPECT_EQ(ToolLocator::onSearchPath("second/tool"), std::nullopt);
}

TEST_F(ToolLocatorTest, TheTwoOrdersOfFixedPlacesAndPath) {
  const QString onPath = makeTool(second / "tool");
  const QString notExecutable = makeTool(temp / "fixed/a/tool", false);
  const QString fixed = makeTool(temp / "fixed/b/tool");
  const QStringList places{"/nonexistent/tool", notExecutable, fixed};

  EXPECT_EQ(ToolLocator::find(places, {"absent", "tool"}), fixed);
  EXPECT_EQ(ToolLocator::find({notExecutable}, {"absent", "tool"}), onPath);
  EXPECT_EQ(ToolLocator::findPreferringPath({"tool"}, places), onPath);
  EXPECT_EQ(ToolLocator::findPreferringPath({"absent"}, places), fixed);
  EXPECT_EQ(ToolLocator::findPreferringPath({"absent"}, {notExecutable}), std::nullopt);
}

}  // namespace
