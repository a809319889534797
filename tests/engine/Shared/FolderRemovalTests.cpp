#include <voxtrellis/FolderRemoval.h>

#include "Shared/FolderRemovalTesting.h"
#include "engine/Shared/FolderRemovalTestSupport.h"
#include "support/NameSwapper.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <stop_token>
#include <string>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace voxtrellis;

// A tree far deeper than a path may be long goes whole, and without a crash, in a process that
// may open few descriptors, from a thread with a small stack: a removal that went down by
// recursion, or held a descriptor for each level, could not (it would end the process, or
// leave the tree for good).
TEST(FolderRemovalTest, ATreeOfAnyDepthGoesWithFewDescriptorsAndASmallStack) {
  const testsupport::DeepTreeFolder dir;
  const fs::path top = dir / "deep";
  constexpr int kLevels = 20000;
  ASSERT_TRUE(testsupport::makeDeepFolder(top, kLevels));
  ASSERT_EQ(testsupport::depthOf(top), kLevels);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only what is safe after a fork, up to the removal itself.
    const rlimit descriptors{256, 256};
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0) ::_exit(2);
    struct Removal {
      fs::path top;
      std::uintmax_t removed = 0;
      std::error_code error;
    } removal{top, 0, {}};
    pthread_attr_t small;
    ::pthread_attr_init(&small);
    ::pthread_attr_setstacksize(&small, 256 * 1024);
    pthread_t thread;
    const auto run = [](void* argument) -> void* {
      auto* removal = static_cast<Removal*>(argument);
      removal->removed = FolderRemoval::removeAll(removal->top, removal->error);
      return nullptr;
    };
    if (::pthread_create(&thread, &small, run, &removal) != 0) ::_exit(3);
    ::pthread_join(thread, nullptr);
    ::_exit(!removal.error && removal.removed == kLevels + 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
}

// A stop asked for before the removal begins leaves everything inside in place and says so.
TEST(FolderRemovalTest, AStopLeavesWhatIsLeftAndSaysSo) {
  const testsupport::TempDir dir{"stopped-removal"};
  testsupport::writeFile(dir / "tree" / "a" / "b", "x");
  testsupport::writeFile(dir / "tree" / "c", "x");
  std::stop_source stop;
  stop.request_stop();
  const int parent = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  std::error_code error;
  EXPECT_EQ(FolderRemoval::removeAt(parent, "tree", error, std::nullopt, stop.get_token()), 0u);
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_TRUE(fs::exists(dir / "tree" / "a" / "b"));
  EXPECT_TRUE(fs::exists(dir / "tree" / "c"));
  EXPECT_EQ(FolderRemoval::removeAt(parent, "tree", error), 4u);
  EXPECT_FALSE(error);
  ::close(parent);
}

// A folder the removal has closed on its way down (it keeps only the deepest few open), moved out
// of the tree while the removal is far below it, takes with it the way back up through "..":
// there the removal finds the folder it was moved into, which it must not take for the folder
// it left. It goes back by the names from the top instead, and nothing outside the tree goes:
// not the folder moved (though what the removal reached of it from below may), nor what lies
// beside it. Moved at a set step of the removal, the same each run.
TEST(FolderRemovalTest, AClosedFolderMovedOutOfTheTreeMidRemovalTakesNothingOutsideWithIt) {
  const testsupport::TempDir dir{"moved-away"};
  const fs::path top = dir / "tree";
  constexpr int kLevels = 30;
  ASSERT_TRUE(testsupport::makeDeepFolder(top, kLevels));
  const auto below = [&](int levels) {
    fs::path folder = top;
    for (int level = 0; level < levels; ++level) folder /= "d";
    return folder;
  };
  // Every folder holds a file of the name the folder it is moved into holds as well.
  for (int level = 0; level < kLevels; ++level) testsupport::writeFile(below(level) / "file", "x");
  const fs::path outside = dir / "outside";
  testsupport::writeFile(outside / "file", "x");
  testsupport::writeFile(outside / "keep", "x");
  // Moved while the removal is 20 folders down, far past the 16 it keeps open: the second
  // folder down (closed by then, like the first) goes to "outside", where ".." of it leads now.
  constexpr std::size_t kMovedAtDepth = 20;
  const fs::path moved = below(2);
  int moves = 0;
  const std::function<void(std::size_t)> move = [&](std::size_t depth) {
    if (depth != kMovedAtDepth || moves++ > 0) return;
    fs::rename(moved, outside / "d");
  };
  std::error_code error;
  detail::setFolderRemovalDescentHookForTesting(&move);
  const std::uintmax_t removed = FolderRemoval::removeAll(top, error);
  detail::setFolderRemovalDescentHookForTesting(nullptr);
  ASSERT_EQ(moves, 1);
  EXPECT_FALSE(error) << error.message();
  EXPECT_NE(removed, static_cast<std::uintmax_t>(-1));
  // The tree went, the first folder and its file too.
  EXPECT_FALSE(fs::exists(fs::symlink_status(top)));
  // Outside, all stayed: what was there, and the folder moved there.
  std::set<std::string> left;
  for (const fs::directory_entry& entry : fs::directory_iterator(outside)) left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"d", "file", "keep"}));
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(outside / "d")));
}

// Deep in a tree, past the folders a removal keeps open, folders swapped for links to a folder
// elsewhere over and over (one near the top, which takes the folders under it along, one far
// down) never lead the removal there: it finds its way back up only through the very folders
// it came down by.
TEST(FolderRemovalTest, DeepFoldersSwappedForLinksWhileTheyGoLeadNoRemovalElsewhere) {
  const testsupport::TempDir dir{"deep-swap"};
  const fs::path elsewhere = dir / "elsewhere";
  constexpr int kFiles = 50;
  for (int i = 0; i < kFiles; ++i) testsupport::writeFile(elsewhere / ("keep-" + std::to_string(i)), "x");
  const auto left = [&] { return std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()); };
  const fs::path top = dir / "tree";
  constexpr int kLevels = 40;
  const auto below = [&](int levels) {
    fs::path folder = top;
    for (int level = 0; level < levels; ++level) folder /= "d";
    return folder;
  };
  const fs::path nearTop = below(3);
  const fs::path farDown = below(30);
  const fs::path topLink = dir / "top-link";
  const fs::path downLink = dir / "down-link";
  testsupport::NameSwapper swapper({{nearTop, topLink}, {farDown, downLink}});
  constexpr int kRounds = 100;
  long racing = 0;
  for (int round = 0; round < kRounds && left() == kFiles; ++round) {
    std::error_code ignored;
    for (const fs::path& path : {top, topLink, downLink}) FolderRemoval::removeAll(path, ignored);
    ASSERT_TRUE(testsupport::makeDeepFolder(top, kLevels));
    for (int level = 0; level < kLevels; ++level) testsupport::writeFile(below(level) / "file", "x");
    fs::create_directory_symlink(elsewhere, topLink);
    fs::create_directory_symlink(elsewhere, downLink);
    swapper.start();
    const long before = swapper.exchanges();
    FolderRemoval::removeAll(top, ignored);
    swapper.stop();
    if (swapper.exchanges() > before) ++racing;
  }
  EXPECT_EQ(left(), kFiles);
  // The names did trade places while removals ran.
  EXPECT_GT(racing, 0);
  std::error_code ignored;
  for (const fs::path& path : {top, topLink, downLink}) FolderRemoval::removeAll(path, ignored);
}

}  // namespace
