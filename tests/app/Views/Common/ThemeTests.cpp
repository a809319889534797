#include "Views/Common/ColorContrast.h"
#include "Views/Common/Icons.h"
#include "Views/Common/Theme.h"
#include "support/QtWindowAudit.h"

#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

using namespace parlowvista;
using testsupport::QtWindowAudit;

namespace {

TEST(ColorContrast, MatchesTheGuidelinesFigures) {
  const struct {
    QColor foreground, background;
    double ratio;
  } cases[] = {
      {Qt::black, Qt::white, 21.0},
      {Qt::white, Qt::white, 1.0},
      {QColor(0x77, 0x77, 0x77), Qt::white, 4.48},
      {QColor(0xe6, 0x8a, 0x00), QColor(0xef, 0xef, 0xef), 2.28},  // the old orange status text
      {QColor(0, 0, 0, 128), Qt::white, 4.0},                      // half-transparent black reads as grey
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(contrastRatio(c.foreground, c.background), c.ratio, 0.05) << c.foreground.name().toStdString();
    if (c.foreground.alpha() == 255) {
      EXPECT_NEAR(contrastRatio(c.background, c.foreground), c.ratio, 0.05) << "symmetric";
    }
  }
}

TEST(ColorContrast, WithContrastMovesLightnessOnlyAsFarAsNeeded) {
  const QColor backgrounds[] = {Qt::white, QColor(0xef, 0xef, 0xef), QColor(0x35, 0x35, 0x35), Qt::black,
                                QColor(0x80, 0x80, 0x80)};
  const QColor wanted[] = {QColor(0xe6, 0x8a, 0x00), QColor(0x2e, 0x9d, 0x4a), Qt::red, QColor(0x88, 0x88, 0x88)};
  for (const QColor& bg : backgrounds) {
    for (const QColor& color : wanted) {
      const QColor result = withContrast(color, bg, 4.5);
      const std::string where = color.name().toStdString() + " on " + bg.name().toStdString();
      EXPECT_GE(contrastRatio(result, bg), 4.5) << where;
      if (contrastRatio(color, bg) >= 4.5) {
        EXPECT_EQ(result, color) << where;
      }
      // Still recognisably the same hue where it had one.
      if (color.hslSaturation() > 0 && result.hslSaturation() > 0) {
        EXPECT_NEAR(result.hslHueF(), color.hslHueF(), 0.02) << where;
      }
    }
  }
}

TEST(Theme, StatusAndSecondaryTextsReadInLightAndDarkPalettes) {
  for (const auto& [name, palette] :
       {std::pair{"light", QtWindowAudit::lightPalette()}, std::pair{"dark", QtWindowAudit::darkPalette()}}) {
    for (const ThemeColor role : {ThemeColor::text, ThemeColor::secondaryText, ThemeColor::success, ThemeColor::warning,
                                  ThemeColor::error, ThemeColor::link}) {
      for (const auto background : {QPalette::Window, QPalette::Base}) {
        const QColor color = Theme::color(role, palette, background);
        EXPECT_GE(contrastRatio(color, palette.color(background)), Theme::textContrast)
            << name << " role " << static_cast<int>(role) << " on " << background;
      }
    }
    EXPECT_GE(contrastRatio(Theme::color(ThemeColor::controlEdge, palette), palette.color(QPalette::Window)),
              Theme::largeContrast)
        << name;
    EXPECT_GE(contrastRatio(palette.color(QPalette::HighlightedText), Theme::selectionColor(palette)),
              Theme::textContrast)
        << name;
    // Status colours stay apart from each other and from plain text.
    const QColor success = Theme::color(ThemeColor::success, palette);
    const QColor error = Theme::color(ThemeColor::error, palette);
    EXPECT_GT(std::abs(success.hslHue() - error.hslHue()), 60) << name;
  }
}

TEST(Theme, TheSelectedSegmentStandsOutWhateverTheHighlight) {
  const QColor highlights[] = {QColor(0x30, 0x8c, 0xc6), QColor(0x2a, 0x82, 0xda), QColor(0xff, 0xeb, 0x3b),
                               QColor(0x80, 0x80, 0x80), QColor(0x35, 0x35, 0x35), Qt::white};
  for (const auto& [name, base] :
       {std::pair{"light", QtWindowAudit::lightPalette()}, std::pair{"dark", QtWindowAudit::darkPalette()}}) {
    for (const QColor& highlight : highlights) {
      QPalette palette = base;
      palette.setColor(QPalette::Highlight, highlight);
      const Theme::SegmentColors c = Theme::segmentColors(palette);
      const std::string where = std::string(name) + " " + highlight.name().toStdString();
      EXPECT_GE(contrastRatio(c.selectedFill, c.fill), Theme::largeContrast) << where;
      EXPECT_GE(contrastRatio(c.selectedText, c.selectedFill), Theme::textContrast) << where;
      EXPECT_GE(contrastRatio(c.text, c.fill), Theme::textContrast) << where;
      EXPECT_GE(contrastRatio(c.edge, palette.color(QPalette::Window)), Theme::largeContrast) << where;
    }
  }
}

TEST(Theme, AStripTakesItsShadeFromItsParentAndFollowsIt) {
  QWidget parent;
  parent.setPalette(QtWindowAudit::lightPalette());
  auto* strip = new QWidget(&parent);
  Theme::setStripBackground(strip);
  EXPECT_TRUE(strip->autoFillBackground());
  for (const auto& [name, palette] :
       {std::pair{"light", QtWindowAudit::lightPalette()}, std::pair{"dark", QtWindowAudit::darkPalette()}}) {
    parent.setPalette(palette);
    EXPECT_EQ(strip->palette().color(QPalette::Window), Theme::color(ThemeColor::stripBackground, palette)) << name;
    EXPECT_NE(strip->palette().color(QPalette::Window), palette.color(QPalette::Window)) << name;
    EXPECT_EQ(strip->palette().color(QPalette::WindowText), palette.color(QPalette::WindowText)) << name;
  }
}

TEST(Icons, AreDrawnInTheWantedColourOnTransparency) {
  const QColor colour(0x1e, 0x7b, 0x36);
  const QImage image = Icons::pixmap(QStringLiteral("check-circle"), colour, 24, 2.0).toImage();
  ASSERT_EQ(image.size(), QSize(48, 48));
  EXPECT_EQ(image.devicePixelRatio(), 2.0);
  EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);                 // a corner is clear
  EXPECT_EQ(image.pixelColor(24, 6).rgb(), colour.rgb());  // the ring is the colour
  EXPECT_EQ(qAlpha(image.pixel(21, 30)), 0);               // the check mark is cut out

  const QIcon icon = Icons::icon(QStringLiteral("play"), QColor(Qt::white), QColor(Qt::gray));
  EXPECT_FALSE(icon.isNull());
  EXPECT_EQ(icon.pixmap(24, QIcon::Normal).toImage().pixelColor(12, 12).rgb(), QColor(Qt::white).rgb());
  EXPECT_EQ(icon.pixmap(24, QIcon::Disabled).toImage().pixelColor(12, 12).rgb(), QColor(Qt::gray).rgb());

  EXPECT_TRUE(Icons::icon(QStringLiteral("no-such-icon"), QColor(Qt::black)).isNull());
}

}  // namespace
