#include <voxtrellis/AsrModels.h>
#include <voxtrellis/Tokenizer.h>

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace voxtrellis::test {
namespace {

class TokenizerTests : public testsupport::TempDirTest {};

TEST_F(TokenizerTests, JoinsPiecesIntoTrimmedWords) {
  const auto path = testsupport::writeFile(
      tempDir / "vocab.json",
      R"({"1": "\u2581he", "2": "llo", "3": "\u2581world", "+4": "!", "005": "\tx", "note": "skip", "-6": "\u2581"})");
  const Tokenizer tokenizer(path);
  struct Case {
    std::vector<int> ids;
    std::string text;
  };
  for (const Case& c : std::vector<Case>{{{}, ""},
                                         {{1, 2, 3}, "hello world"},
                                         {{1, 99, 2}, "hello"},
                                         {{3, 4}, "world!"},
                                         {{-6, 5, -6}, "x"},
                                         {{-6}, ""}}) {
    EXPECT_EQ(tokenizer.decode(c.ids), c.text);
  }
  EXPECT_EQ(tokenizer.vocab().at("note"), "skip");
  EXPECT_EQ(tokenizer.idToToken().size(), 6u);
}

TEST_F(TokenizerTests, RefusesFilesThatAreNoVocabulary) {
  for (const std::string contents : {"[\"a\"]", "{\"1\": 5}", "not json", "{\"1\": \"a\""}) {
    SCOPED_TRACE(contents);
    EXPECT_THROW(Tokenizer(testsupport::writeFile(tempDir / "vocab.json", contents)), AsrModelsError);
  }
  EXPECT_THROW(Tokenizer(tempDir / "missing.json"), AsrModelsError);
}

}  // namespace
}  // namespace voxtrellis::test
