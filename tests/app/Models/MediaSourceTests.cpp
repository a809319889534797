#include "Models/MediaSource.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using parlowvista::MediaSource;

namespace {

struct IdCase {
  const char* name;
  const char* address;
  std::optional<std::string> expected;
};

void PrintTo(const IdCase& value, std::ostream* out) {
  *out << value.name;
}

class MediaSourceIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(MediaSourceIdTest, ExtractsTheIdentifierByTheFirstDecidingRule) {
  const IdCase& c = GetParam();
  const std::optional<QString> id = MediaSource::extractYouTubeVideoId(QString::fromUtf8(c.address));
  if (c.expected) {
    ASSERT_TRUE(id.has_value()) << c.address;
    EXPECT_EQ(id->toStdString(), *c.expected) << c.address;
  } else {
    EXPECT_FALSE(id.has_value()) << c.address << " gave " << id->toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MediaSourceIdTest,
    ::testing::Values(IdCase{"ShortLinkIgnoresQuery", "https://youtu.be/abc123?t=42", "abc123"},
                      IdCase{"ShortLinkWithoutPathGivesNothing", "https://youtu.be?v=abc123", std::nullopt},
                      IdCase{"ShortLinkRootPathGivesNothing", "https://youtu.be/", std::nullopt},
                      IdCase{"ShortLinkSubdomainCounts", "https://www.youtu.be/xyz", "xyz"},
                      IdCase{"WatchQueryFirst", "https://www.youtube.com/watch?v=abc123&t=10", "abc123"},
                      IdCase{"WatchQueryLater", "https://www.youtube.com/watch?feature=share&v=abc123", "abc123"},
                      IdCase{"EmptyValueDecidesNothing", "https://www.youtube.com/embed/zzz?v=", std::nullopt},
                      IdCase{"ValuelessItemFallsThroughToEmbed", "https://www.youtube.com/embed/abc123?v", "abc123"},
                      IdCase{"EmbedPath", "https://www.youtube.com/embed/abc123", "abc123"},
                      IdCase{"VPath", "https://www.youtube.com/v/abc123", "abc123"},
                      IdCase{"EmbedAloneGivesNothing", "https://www.youtube.com/embed", std::nullopt},
                      IdCase{"EmbedWinsOverV", "https://www.youtube.com/embed/v/abc123", "v"},
                      IdCase{"ShortsGivesNothing", "https://www.youtube.com/shorts/abc123", std::nullopt},
                      IdCase{"PercentEscapesDecoded", "https://www.youtube.com/watch?v=ab%2Dc", "ab-c"},
                      IdCase{"NoSchemeIsRelativePathNoShortLink", "youtu.be/abc123", std::nullopt},
                      IdCase{"NoSchemeStillReadsQuery", "youtube.com/watch?v=abc123", "abc123"},
                      IdCase{"EmptyText", "", std::nullopt},
                      IdCase{"NotAnAddress", "http://exa mple.com/watch?v=abc", std::nullopt}),
    [](const ::testing::TestParamInfo<IdCase>& info) { return std::string(info.param.name); });

TEST(MediaSourceTest, EqualityComparesCaseValuesFileAndTitle) {
  const QUrl file = QUrl::fromLocalFile(QStringLiteral("/tmp/a.m4a"));
  const MediaSource video{MediaSource::SourceType::youtubeVideo("abc", "https://youtu.be/abc"), file, "A"};
  MediaSource same = video;
  EXPECT_EQ(video, same);
  EXPECT_TRUE(video.isYouTubeVideo());

  same.type.originalURL = QStringLiteral("https://youtu.be/abc?t=1");
  EXPECT_NE(video, same);

  const MediaSource local{MediaSource::SourceType::localFile(), file, "A"};
  EXPECT_NE(video, local);
  EXPECT_FALSE(local.isYouTubeVideo());
  MediaSource otherTitle = local;
  otherTitle.title = QStringLiteral("B");
  EXPECT_NE(local, otherTitle);
}

}  // namespace
